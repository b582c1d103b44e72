// A plain main for the fuzz entry point: runs every input named on the
// command line (files, or directories of files) through it once, so that
// the seeds and the kept fault inputs replay in any build, with any
// compiler. The entry point aborts on a fault; reaching the end is a pass.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool replay(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in.good() && !in.eof()) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return false;
    }
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    LLVMFuzzerInitialize(&argc, &argv);
    int inputs = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        std::error_code error;
        std::vector<std::filesystem::path> files;
        if (std::filesystem::is_directory(arg, error)) {
            for (const auto& item : std::filesystem::directory_iterator(arg, error))
                if (item.is_regular_file())
                    files.push_back(item.path());
        } else {
            files.push_back(arg);
        }
        if (error) {
            std::fprintf(stderr, "cannot list %s\n", argv[i]);
            return 1;
        }
        for (const auto& file : files) {
            if (!replay(file))
                return 1;
            ++inputs;
        }
    }
    std::printf("%d inputs replayed\n", inputs);
    // No input at all means the seeds were not made: not a pass.
    return inputs > 0 ? 0 : 1;
}
