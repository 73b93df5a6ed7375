// The launcher carries the built patch tool, byte for byte, as resource PATCHER 132.

#include "resource.h"
#include "scratch.h"
#include "unique_handle.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>

namespace {

struct module_traits {
    using pointer = HMODULE;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer module) noexcept { FreeLibrary(module); }
};
using module_handle = unique_handle<module_traits>;

} // namespace

TEST(launcher_resources, patcher_resource_is_the_built_patch_tool) {
    const module_handle launcher(LoadLibraryExW(utf8_path(std::getenv("QM_LAUNCHER")).c_str(),
                                                nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(launcher);
    HRSRC resource = FindResourceW(launcher.get(), MAKEINTRESOURCEW(IDR_PATCHER), L"PATCHER");
    ASSERT_NE(nullptr, resource);
    const void* bytes = LockResource(LoadResource(launcher.get(), resource));
    ASSERT_NE(nullptr, bytes);
    const std::string embedded(static_cast<const char*>(bytes),
                               SizeofResource(launcher.get(), resource));
    EXPECT_TRUE(embedded == read_bytes(std::getenv("QM_PATCH_TOOL")));
}
