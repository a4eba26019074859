// Replays a fuzz target's corpus without libFuzzer: every file of every directory
// (or file) named on the command line goes through LLVMFuzzerTestOneInput once.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fs = std::filesystem;

int main(int argc, char **argv)
{
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; i++) {
        fs::path p(argv[i]);
        if (fs::is_directory(p)) {
            for (const auto &e : fs::directory_iterator(p))
                if (e.is_regular_file()) inputs.push_back(e.path());
        } else {
            inputs.push_back(p);
        }
    }
    if (inputs.empty()) {
        fprintf(stderr, "no corpus inputs\n");
        return 1;
    }
    std::sort(inputs.begin(), inputs.end());
    for (const auto &p : inputs) {
        std::ifstream in(p, std::ios::binary);
        if (!in) {
            fprintf(stderr, "cannot read %s\n", p.c_str());
            return 1;
        }
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // A copy of exactly the input's size, so the sanitizer sees any read past it.
        std::vector<uint8_t> buf(bytes.begin(), bytes.end());
        LLVMFuzzerTestOneInput(buf.data(), buf.size());
    }
    printf("%zu inputs replayed\n", inputs.size());
    return 0;
}
