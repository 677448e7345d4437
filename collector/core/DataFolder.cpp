#include "DataFolder.h"

#include <errno.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "support/ProgramFacts.h"

#ifndef NFC_INSTALL_PREFIX
#define NFC_INSTALL_PREFIX "/usr/local"
#endif

namespace datafolder {
namespace {

constexpr const char* kFolderName = "netflow-collector";

// Lexically tidied: no repeated or trailing "/" (except for the root itself).
std::string Tidy(const std::string& Path) {
    std::string out;
    out.reserve(Path.size());
    for (char c : Path) {
        if (c == '/' && !out.empty() && out.back() == '/') continue;
        out += c;
    }
    while (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

std::string WithSlash(std::string Dir) {
    if (Dir.empty() || Dir.back() != '/') Dir += '/';
    return Dir;
}

std::string Environment(const char* Name) {
    const char* value = std::getenv(Name);
    return value == nullptr ? std::string() : std::string(value);
}

std::string AccountHome() {
    const struct passwd* entry = getpwuid(getuid());
    return entry == nullptr || entry->pw_dir == nullptr ? std::string() : std::string(entry->pw_dir);
}

bool IsDirectory(const std::string& Path) {
    struct stat info {};
    return stat(Path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

bool IsWithin(const std::string& Path, const std::string& Root) {
    const std::string path = Tidy(Path);
    const std::string root = Tidy(Root);
    if (root.empty() || root[0] != '/' || path.empty() || path[0] != '/') return false;
    if (root == "/") return true;
    return path == root ||
           (path.size() > root.size() && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/');
}

bool IsSystemDirectory(const std::string& Dir, const std::string& InstallPrefix) {
    // A prefix of "/" would make every directory a system one; /bin and /sbin stand for it.
    if (Tidy(InstallPrefix) != "/" && IsWithin(Dir, InstallPrefix)) return true;
    for (const char* root : {"/usr", "/opt", "/bin", "/sbin"}) {
        if (IsWithin(Dir, root)) return true;
    }
    return false;
}

std::string DataFolderPath(const std::string& XdgDataHome, const std::string& Home) {
    if (!XdgDataHome.empty() && XdgDataHome[0] == '/') return WithSlash(Tidy(XdgDataHome) + "/" + kFolderName);
    if (!Home.empty() && Home[0] == '/') return WithSlash(Tidy(Home) + "/.local/share/" + kFolderName);
    return {};
}

tFolderChoice ChooseFolder(const tFolderFacts& Facts) {
    tFolderChoice choice;
    if (IsSystemDirectory(Facts.ProgramDir, Facts.InstallPrefix)) {
        choice.Reason = "is a system directory";
    } else if (Facts.InstalledLayout) {
        choice.Reason = "is the bin folder of an installed copy";
    } else if (!Facts.ProgramDirWritable) {
        choice.Reason = "is not writable";
    } else {
        choice.Directory = WithSlash(Facts.ProgramDir);
        return choice;
    }
    choice.Directory = DataFolderPath(Facts.XdgDataHome, Facts.Home);
    choice.Kind = choice.Directory.empty() ? tFolderKind::NoFolder : tFolderKind::DataFolder;
    // The data folder itself must not be a system directory either (HOME=/usr/... for a system
    // account): such a home is as unfit as the program's own directory.
    if (choice.Kind == tFolderKind::DataFolder && IsSystemDirectory(choice.Directory, Facts.InstallPrefix)) {
        choice.Reason += "; the data folder " + choice.Directory + " would lie in a system directory too";
        choice.Kind = tFolderKind::NoFolder;
        choice.Directory.clear();
    } else if (choice.Kind == tFolderKind::NoFolder) {
        choice.Reason += "; neither XDG_DATA_HOME nor HOME names an absolute directory";
    }
    return choice;
}

bool MakeFolder(const std::string& Dir, std::string& Error) {
    const std::string dir = Tidy(Dir);
    // Each missing component in turn, from the top; existing ones keep their modes.
    for (std::size_t at = dir.find('/', 1);; at = dir.find('/', at + 1)) {
        const std::string part = at == std::string::npos ? dir : dir.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            Error = "cannot create " + part + ": " + std::strerror(errno);
            return false;
        }
        if (at == std::string::npos) break;
    }
    if (!IsDirectory(dir)) {
        Error = dir + " is not a directory";
        return false;
    }
    return true;
}

const char* ConfiguredInstallPrefix() { return NFC_INSTALL_PREFIX; }

tFolderFacts GatherFacts(const std::string& InstallPrefix) {
    tFolderFacts facts;
    facts.ProgramDir = brix32::GetProgramPath("");
    facts.InstallPrefix = InstallPrefix;
    // Resolved like the program's own path, which comes from the kernel with links resolved.
    if (char* real = realpath(InstallPrefix.c_str(), nullptr)) {
        facts.InstallPrefix = real;
        std::free(real);
    }
    facts.ProgramDirWritable = !facts.ProgramDir.empty() && access(facts.ProgramDir.c_str(), W_OK) == 0;
    const std::string dir = Tidy(facts.ProgramDir);
    const std::size_t slash = dir.rfind('/');
    if (slash != std::string::npos && dir.substr(slash + 1) == "bin") {
        facts.InstalledLayout = IsDirectory(dir.substr(0, slash) + "/share/doc/" + kFolderName);
    }
    facts.XdgDataHome = Environment("XDG_DATA_HOME");
    facts.Home = Environment("HOME");
    if (facts.Home.empty()) facts.Home = AccountHome();
    return facts;
}

std::string Announcement(const tFolderChoice& Choice, const std::string& ProgramDir) {
    const std::string own = "its own directory " + WithSlash(Tidy(ProgramDir)) + " " + Choice.Reason;
    switch (Choice.Kind) {
        case tFolderKind::ProgramDir:
            return {};
        case tFolderKind::DataFolder:
            return "netflow-collector: files go to the data folder " + Choice.Directory + " (" + own + ")";
        case tFolderKind::NoFolder:
            break;
    }
    return "netflow-collector: no data folder (" + own + "); files go to the directory it was started from";
}

tFolderChoice EnterFilesFolder(const tFolderFacts& Facts) {
    tFolderChoice choice = ChooseFolder(Facts);
    if (choice.Kind == tFolderKind::ProgramDir) {
        // The very service that always did it, so that this case stays exactly as it was.
        brix32::GetProgramDir();
        return choice;
    }
    if (choice.Kind == tFolderKind::NoFolder) return choice;
    std::string error;
    if (!MakeFolder(choice.Directory, error) || chdir(choice.Directory.c_str()) != 0) {
        if (error.empty()) error = "cannot enter " + choice.Directory + ": " + std::strerror(errno);
        choice.Reason += "; " + error;
        choice.Kind = tFolderKind::NoFolder;
        choice.Directory.clear();
    }
    return choice;
}

}  // namespace datafolder
