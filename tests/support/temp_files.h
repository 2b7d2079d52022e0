// Files and folders a test makes for itself under /tmp and removes again:
// a folder removed with what it holds, a script or rules file in a folder
// of its own, and an unnamed file that vanishes with its descriptor.
#ifndef KYT_TESTS_TEMP_FILES_H
#define KYT_TESTS_TEMP_FILES_H

#include <string>

namespace rig {

// A fresh folder /tmp/PREFIX.XXXXXX, removed with what it holds at the end.
// A folder that cannot be made is a test failure.
class TempFolder {
public:
    explicit TempFolder(const std::string &prefix = "kyt_test");
    ~TempFolder();
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;

    bool Made() const { return !dir_.empty(); }
    // The folder itself.
    const std::string &Dir() const { return dir_; }
    // The path of `name` in the folder (the folder with a slash for "").
    std::string Path(const std::string &name) const { return dir_ + "/" + name; }
    // Writes `text` as the file `name` in the folder, byte for byte; its path.
    std::string Write(const std::string &name, const std::string &text) const;

private:
    std::string dir_;
};

// A script for kyt_test or a rules file for kyt_sim, alone in a folder of
// its own (`dir`) that goes with the object.
struct ScriptFile {
    explicit ScriptFile(const std::string &text, const std::string &name = "test.apdu");

    TempFolder folder;
    const std::string dir;
    const std::string path;
};

// An open descriptor on a file that has no name any more, holding `text`
// and positioned at its start; -1 (and a test failure) when none can be made.
int UnnamedFile(const std::string &text = "");

} // namespace rig

#endif
