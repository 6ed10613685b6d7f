// replay_main: runs a harness without libFuzzer over given files and
// folders (every file of a folder), one input each, so that the regression
// cases found by fuzzing are replayed by any compiler's build.  Exit status
// 0 when every input ran (a finding aborts the process); 2 when a path
// cannot be read.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static int run_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return -1;
    }
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    std::fprintf(stderr, "replay %s (%zu bytes)\n", path.c_str(), data.size());
    LLVMFuzzerTestOneInput(data.data(), data.size());
    return 0;
}

int main(int argc, char **argv)
{
    int runs = 0;
    for (int i = 1; i < argc; i++) {
        struct stat st;
        if (stat(argv[i], &st) != 0) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 2;
        }
        if (!S_ISDIR(st.st_mode)) {
            if (run_file(argv[i]) < 0)
                return 2;
            runs++;
            continue;
        }
        DIR *dir = opendir(argv[i]);
        if (dir == nullptr)
            return 2;
        std::vector<std::string> names;
        while (struct dirent *e = readdir(dir))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        closedir(dir);
        for (const std::string &n : names) {
            if (run_file(std::string(argv[i]) + "/" + n) < 0)
                return 2;
            runs++;
        }
    }
    std::fprintf(stderr, "%d inputs replayed\n", runs);
    return 0;
}
