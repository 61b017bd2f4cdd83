// A fresh folder for one test, mapped as the drive root of the platform
// stand-in, removed again at the end of the test.
#pragma once
#include <string>

namespace moc_test {

class TempRoot {
public:
    // In the system's temporary folder, or in `parent` when one is given.
    explicit TempRoot(const std::string& parent = "");
    ~TempRoot();
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    // The POSIX folder that stands for the drives.
    const std::string& Folder() const { return folder_; }
    // POSIX path of a Windows path under this root ("C:\a\b" -> <root>/C/a/b).
    std::string Native(const std::string& windowsPath) const;

private:
    std::string folder_;
};

} // namespace moc_test
