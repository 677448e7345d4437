// Runs the fuzz target over files and directories of inputs without the fuzzing engine, so that the
// seed corpus and every input that ever crashed it are replayed by the ordinary test run.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size);

namespace {

bool Replay(const std::filesystem::path& Path) {
    std::ifstream In(Path, std::ios::binary);
    if (!In) {
        std::fprintf(stderr, "cannot read %s\n", Path.string().c_str());
        return false;
    }
    const std::string sBytes((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(sBytes.data()), sBytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int Replayed = 0;
    bool bOk = true;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path Arg(argv[i]);
        if (std::filesystem::is_directory(Arg)) {
            std::vector<std::filesystem::path> Files;
            for (const auto& Entry : std::filesystem::directory_iterator(Arg)) {
                if (Entry.is_regular_file() && Entry.path().filename().string().front() != '.')
                    Files.push_back(Entry.path());
            }
            std::sort(Files.begin(), Files.end());
            for (const auto& File : Files) {
                bOk = Replay(File) && bOk;
                ++Replayed;
            }
        } else {
            bOk = Replay(Arg) && bOk;
            ++Replayed;
        }
    }
    std::printf("replayed %d inputs\n", Replayed);
    return bOk ? 0 : 1;
}
