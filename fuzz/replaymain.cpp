// Replays a fuzzer's corpus without libFuzzer: every regular file below the directories given on
// the command line goes once through LLVMFuzzerTestOneInput. A crash or a sanitizer report fails
// the run; so does a missing or empty corpus, which would otherwise pass unnoticed.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    namespace fs = std::filesystem;
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <corpus directory>...\n", argv[0]);
        return 2;
    }
    long count = 0;
    for (int i = 1; i < argc; ++i) {
        std::error_code error;
        for (fs::recursive_directory_iterator it(argv[i], error), end; !error && it != end;
             it.increment(error)) {
            if (!it->is_regular_file())
                continue;
            std::ifstream file(it->path(), std::ios::binary);
            const std::vector<char> bytes{std::istreambuf_iterator<char>(file),
                                          std::istreambuf_iterator<char>()};
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
            ++count;
        }
        if (error) {
            std::fprintf(stderr, "cannot read %s: %s\n", argv[i], error.message().c_str());
            return 1;
        }
    }
    std::printf("replayed %ld inputs\n", count);
    return count > 0 ? 0 : 1;
}
