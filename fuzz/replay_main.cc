// replay_main.cc - runs a fuzz target's checks on given files, without
// libFuzzer: each argument is a file or a directory of files, every one fed
// once to LLVMFuzzerTestOneInput.  Built with the normal compiler, so every
// build's tests replay the committed corpus.  A failed check aborts.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

void Replay(const std::filesystem::path &file) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
}

}  // namespace

int main(int argc, char **argv) {
    long count = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path p = argv[i];
        if (std::filesystem::is_directory(p)) {
            for (const auto &e : std::filesystem::directory_iterator(p)) {
                Replay(e.path());
                ++count;
            }
        } else {
            Replay(p);
            ++count;
        }
    }
    std::printf("%ld inputs replayed\n", count);
    return count > 0 ? 0 : 1;
}
