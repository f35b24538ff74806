// A program built against libOstrel: normalises a path and prints it with the headers' version.
#include <Ostrel/Dir.h>
#include <Ostrel/Version.h>

#include <iostream>

int main() {
    Ostrel::Dir dir;
    dir.setPath("/usr/local/../lib", Ostrel::Dir::Normalize);
    std::cout << "consumer " << OSTREL_VERSION_STRING << ": " << dir.path << '\n';
    return 0;
}
