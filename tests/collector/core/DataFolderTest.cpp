// Where the collector's files go: the decision from the program's directory, the install prefix,
// whether the directory is writable and the environment; and making the data folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "DataFolder.h"
#include "ScratchDirectory.h"

namespace {

using datafolder::ChooseFolder;
using datafolder::tFolderFacts;
using datafolder::tFolderKind;

tFolderFacts Facts(const std::string& ProgramDir, bool Writable, const std::string& Prefix = "/usr/local") {
    tFolderFacts facts;
    facts.ProgramDir = ProgramDir;
    facts.InstallPrefix = Prefix;
    facts.ProgramDirWritable = Writable;
    facts.Home = "/home/op";
    return facts;
}

TEST(DataFolder, OwnDirectoryThatTheOperatorCanWriteStays) {
    for (const char* dir : {"/work/src/build/dev/collector/app/", "/home/op/netflow", "/tmp/x/", "/usrlocal/bin/",
                            "/optional/bin", "/srv/collector/"}) {
        const auto choice = ChooseFolder(Facts(dir, true));
        EXPECT_EQ(choice.Kind, tFolderKind::ProgramDir) << dir;
        EXPECT_EQ(choice.Directory.back(), '/') << dir;
        EXPECT_TRUE(choice.Reason.empty()) << dir;
    }
}

TEST(DataFolder, SystemDirectoriesAreNeverUsedEvenWhenWritable) {
    // Root can write all of them; that does not make them a place for flow files.
    for (const char* dir : {"/usr/bin/", "/usr/local/bin", "/usr", "/opt/nfc/bin/", "/bin/", "/sbin", "//usr//bin//"}) {
        const auto choice = ChooseFolder(Facts(dir, true));
        EXPECT_EQ(choice.Kind, tFolderKind::DataFolder) << dir;
        EXPECT_EQ(choice.Directory, "/home/op/.local/share/netflow-collector/") << dir;
        EXPECT_EQ(choice.Reason, "is a system directory") << dir;
    }
    // The configured prefix counts wherever it is, and only by whole components.
    EXPECT_EQ(ChooseFolder(Facts("/srv/nfc/bin/", true, "/srv/nfc/")).Kind, tFolderKind::DataFolder);
    EXPECT_EQ(ChooseFolder(Facts("/srv/nfc2/bin/", true, "/srv/nfc")).Kind, tFolderKind::ProgramDir);
    // A prefix of "/" does not make every directory a system one.
    EXPECT_EQ(ChooseFolder(Facts("/home/op/bin/", true, "/")).Kind, tFolderKind::ProgramDir);
}

TEST(DataFolder, UnwritableOrInstalledElsewhereGoesToTheDataFolder) {
    auto unwritable = ChooseFolder(Facts("/home/op/readonly/", false));
    EXPECT_EQ(unwritable.Kind, tFolderKind::DataFolder);
    EXPECT_EQ(unwritable.Reason, "is not writable");

    tFolderFacts installed = Facts("/home/op/.local/bin/", true);
    installed.InstalledLayout = true;
    EXPECT_EQ(ChooseFolder(installed).Kind, tFolderKind::DataFolder);
}

TEST(DataFolder, FollowsXdgDataHomeAndFallsBackToHome) {
    tFolderFacts facts = Facts("/usr/bin/", false);
    facts.XdgDataHome = "/data/op/";
    EXPECT_EQ(ChooseFolder(facts).Directory, "/data/op/netflow-collector/");
    // A relative XDG_DATA_HOME is invalid and ignored.
    facts.XdgDataHome = "data";
    EXPECT_EQ(ChooseFolder(facts).Directory, "/home/op/.local/share/netflow-collector/");

    facts.Home.clear();
    const auto none = ChooseFolder(facts);
    EXPECT_EQ(none.Kind, tFolderKind::NoFolder);
    EXPECT_TRUE(none.Directory.empty());

    // A system account whose home is a system directory gets no folder there either.
    facts.Home = "/usr/lib/something";
    EXPECT_EQ(ChooseFolder(facts).Kind, tFolderKind::NoFolder);
}

TEST(DataFolder, AnnouncementNamesBothDirectories) {
    const auto choice = ChooseFolder(Facts("/usr/bin/", true));
    EXPECT_EQ(datafolder::Announcement(choice, "/usr/bin/"),
              "netflow-collector: files go to the data folder /home/op/.local/share/netflow-collector/ "
              "(its own directory /usr/bin/ is a system directory)");
    EXPECT_TRUE(datafolder::Announcement(ChooseFolder(Facts("/home/op/", true)), "/home/op/").empty());
}

class MakeFolderTest : public ScratchDirectoryTest {};

TEST_F(MakeFolderTest, CreatesMissingParentsPrivateAndKeepsExistingOnes) {
    ASSERT_EQ(::mkdir((Dir() + "home").c_str(), 0755), 0);
    std::string error;
    const std::string folder = Dir() + "home/.local/share/netflow-collector/";
    ASSERT_TRUE(datafolder::MakeFolder(folder, error)) << error;
    for (const std::string part : {"home/.local", "home/.local/share", "home/.local/share/netflow-collector"}) {
        struct stat info {};
        ASSERT_EQ(::stat((Dir() + part).c_str(), &info), 0) << part;
        EXPECT_EQ(info.st_mode & 0777, 0700u) << part;
    }
    struct stat home {};
    ASSERT_EQ(::stat((Dir() + "home").c_str(), &home), 0);
    EXPECT_EQ(home.st_mode & 0777, 0755u);
    // Once there, asking again succeeds without a change.
    EXPECT_TRUE(datafolder::MakeFolder(folder, error)) << error;
}

TEST_F(MakeFolderTest, AFileInTheWayIsAnError) {
    WriteFile(Dir() + "taken", "x");
    std::string error;
    EXPECT_FALSE(datafolder::MakeFolder(Dir() + "taken/netflow-collector", error));
    EXPECT_NE(error.find("taken"), std::string::npos) << error;
    EXPECT_FALSE(datafolder::MakeFolder(Dir() + "taken", error));
}

TEST_F(MakeFolderTest, EnteringTheDataFolderMakesItCurrent) {
    tFolderFacts facts = Facts("/usr/bin/", true);
    facts.XdgDataHome = Dir() + "xdg";
    const auto choice = datafolder::EnterFilesFolder(facts);
    ASSERT_EQ(choice.Kind, tFolderKind::DataFolder) << choice.Reason;
    EXPECT_EQ(std::filesystem::current_path().string() + "/", Dir() + "xdg/netflow-collector/");

    // A folder that cannot be made leaves the current directory alone.
    WriteFile(Dir() + "blocked", "x");
    facts.XdgDataHome = Dir() + "blocked";
    const auto blocked = datafolder::EnterFilesFolder(facts);
    EXPECT_EQ(blocked.Kind, tFolderKind::NoFolder);
    EXPECT_NE(blocked.Reason.find("cannot create"), std::string::npos) << blocked.Reason;
    EXPECT_EQ(std::filesystem::current_path().string() + "/", Dir() + "xdg/netflow-collector/");
}

}  // namespace
