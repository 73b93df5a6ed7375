#include "console_platform.h"
#include "patch_tool.h"

int main(int argc, char* argv[]) {
    use_binary_standard_output();
    return run_patch_tool(argc, argv);
}
