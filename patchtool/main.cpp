#include "console_platform.h"
#include "patch_tool.h"

#include <string>
#include <vector>

#ifdef _WIN32
// Paths come as UTF-16, so that any folder name reaches the tool whole; inside the
// tool they are UTF-8.
int wmain(int argc, wchar_t* argv[]) {
    end_with_launcher();
    use_binary_standard_output();
    std::vector<std::string> arguments;
    for (int index = 0; index < argc; ++index)
        arguments.push_back(utf8_from_wide(argv[index]));
    std::vector<char*> pointers;
    for (std::string& argument : arguments)
        pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    return run_patch_tool(argc, pointers.data());
}
#else
int main(int argc, char* argv[]) {
    use_binary_standard_output();
    return run_patch_tool(argc, argv);
}
#endif
