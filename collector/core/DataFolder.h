#pragma once

#include <string>

// Where the collector's files go. Every file name it uses is relative, so the directory made
// current at start-up decides. Its own directory is the natural place when it runs from a build
// tree or any folder the operator owns; installed under a system prefix, or wherever its own
// directory cannot be written, the files go to the per-user data folder instead, so that nothing is
// lost and nothing lands in a system directory, even for root.
namespace datafolder {

// What the choice depends on, gathered from the running process.
struct tFolderFacts {
    std::string ProgramDir;     // absolute, with or without a trailing "/"
    std::string InstallPrefix;  // the prefix the program was built to be installed under
    bool ProgramDirWritable = false;
    // The program's directory is the "bin" of an installed tree: its parent holds the program's
    // shared files (an install under a prefix other than the configured one).
    bool InstalledLayout = false;
    std::string XdgDataHome;  // $XDG_DATA_HOME, empty when unset
    std::string Home;         // $HOME, or the account's home when unset
};

enum class tFolderKind { ProgramDir, DataFolder, NoFolder };

struct tFolderChoice {
    tFolderKind Kind = tFolderKind::ProgramDir;
    // The directory to make current, with a trailing "/"; empty for NoFolder.
    std::string Directory;
    // Why the program's directory was passed over; empty for ProgramDir.
    std::string Reason;
};

// True when Path is Root or lies below it; both absolute, compared by whole components.
bool IsWithin(const std::string& Path, const std::string& Root);

// The directories an operator's files never belong in: the install prefix, /usr (and so
// /usr/local), /opt, /bin and /sbin.
bool IsSystemDirectory(const std::string& Dir, const std::string& InstallPrefix);

// $XDG_DATA_HOME/netflow-collector/, or ~/.local/share/netflow-collector/ when XDG_DATA_HOME is
// unset or not absolute (relative values are to be ignored); empty when there is no home either.
std::string DataFolderPath(const std::string& XdgDataHome, const std::string& Home);

// The decision, free of side effects.
tFolderChoice ChooseFolder(const tFolderFacts& Facts);

// Creates Dir and its missing parents with mode 0700. True when Dir exists as a directory
// afterwards; otherwise Error says why.
bool MakeFolder(const std::string& Dir, std::string& Error);

// The prefix this build was configured to be installed under.
const char* ConfiguredInstallPrefix();

// The facts of the running process: its directory, the given prefix, the environment.
tFolderFacts GatherFacts(const std::string& InstallPrefix);

// The text said on standard error when the data folder is used (or cannot be made).
std::string Announcement(const tFolderChoice& Choice, const std::string& ProgramDir);

// Chooses, creates the data folder when that is the choice, and makes the chosen directory
// current. A data folder that cannot be made leaves the current directory as it was at launch and
// comes back as NoFolder, with the reason.
tFolderChoice EnterFilesFolder(const tFolderFacts& Facts);

}  // namespace datafolder
