// Replays every file of the corpus directories given on the command line
// through the fuzz target, without libFuzzer, so an ordinary build can run
// the corpus as a test.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    size_t n_files = 0;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        for (const auto& e : std::filesystem::recursive_directory_iterator(argv[i], ec)) {
            if (!e.is_regular_file()) continue;
            std::ifstream in(e.path(), std::ios::binary);
            // A target that leaves the working directory elsewhere loses a
            // corpus given by a relative path.
            if (!in) {
                std::fprintf(stderr, "cannot read %s\n", e.path().string().c_str());
                return 1;
            }
            std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            ++n_files;
        }
    }
    std::printf("replayed %zu inputs\n", n_files);
    return n_files > 0 ? 0 : 1;
}
