#include "support/temp_root.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <platform/native_path.h>

namespace moc_test {

TempRoot::TempRoot(const std::string& parent) {
    const std::filesystem::path base =
        parent.empty() ? std::filesystem::temp_directory_path() : std::filesystem::path(parent);
    std::string tmpl = (base / "moc-test-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    folder_ = tmpl;
    platform::SetDriveRoot(folder_);
    std::filesystem::create_directories(folder_ + "/C");
}

TempRoot::~TempRoot() {
    std::error_code ec;
    // Read-only files and folders must not keep the tree from going away. A link
    // is left alone: a permission set through it would land on its target, which
    // a test may have pointed at a device.
    for (auto& entry : std::filesystem::recursive_directory_iterator(folder_, ec)) {
        if (entry.is_symlink(ec))
            continue;
        std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(folder_, ec);
}

std::string TempRoot::Native(const std::string& windowsPath) const {
    return platform::NativePath(windowsPath.c_str());
}

} // namespace moc_test
