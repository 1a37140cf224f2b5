// Runs a harness once on each file named, and on each file in each folder
// named: the seed corpus as a test, under the sanitizers of the build.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size);

namespace {

// The files to run: a folder's files in name order, a file itself.
std::vector<std::string> list_inputs(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return {path};
    std::vector<std::string> files;
    DIR *dir = opendir(path.c_str());
    if (!dir)
        return files;
    while (dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.')
            files.push_back(path + "/" + entry->d_name);
    closedir(dir);
    std::sort(files.begin(), files.end());
    return files;
}

// The file's bytes in memory of exactly its size, so a read past them is caught.
bool run_file(const std::string &path)
{
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (!file) {
        std::fprintf(stderr, "fopen %s failed: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + n);
    std::fclose(file);
    uint8_t *data = new uint8_t[bytes.size()];
    std::copy(bytes.begin(), bytes.end(), data);
    std::fprintf(stderr, "running %s (%zu bytes)\n", path.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(data, bytes.size());
    delete[] data;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    int runs = 0, failures = 0;
    for (int i = 1; i < argc; i++)
        for (const std::string &path : list_inputs(argv[i]))
            run_file(path) ? runs++ : failures++;
    std::fprintf(stderr, "%d inputs run, %d unreadable\n", runs, failures);
    return runs > 0 && failures == 0 ? 0 : 1;
}
