// ostrel info, normalize, scan and locate.
#include "Commands.h"

namespace OstrelTool {

int info(const Args&) { return 1; }
int normalize(const Args&) { return 1; }
int scan(const Args&) { return 1; }
int locate(const Args&) { return 1; }

} // namespace OstrelTool
