// ostrel: the library's services from a shell. "ostrel help" lists the commands.
#include "Commands.h"
#include "Output.h"

int main(int argc, char** argv) {
    OstrelTool::CheckedStdout out;
    return out.finish(OstrelTool::dispatch(OstrelTool::Args(argv + 1, argv + argc)));
}
