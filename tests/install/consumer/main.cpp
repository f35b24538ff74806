// A program built against an installed libOstrel: normalises a path and prints it.
#include <Ostrel/Dir.h>

#include <iostream>

int main() {
    Ostrel::Dir dir;
    dir.setPath("/usr/local/../lib", Ostrel::Dir::Normalize);
    std::cout << "consumer: " << dir.path << '\n';
    return 0;
}
