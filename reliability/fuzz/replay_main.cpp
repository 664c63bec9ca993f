// Runs a fuzz target over files and folders of inputs without libFuzzer, each input in a child process: the seed corpus (every input must run clean) and the inputs of findings not yet fixed (--findings: every input must still fail, so that a fix shows up as an input to move into the corpus).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void collect(const std::string& path, std::vector<std::string>& files) {
    struct stat info{};
    if (stat(path.c_str(), &info) != 0) return;
    if (!S_ISDIR(info.st_mode)) {
        files.push_back(path);
        return;
    }
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') collect(path + "/" + entry->d_name, files);
        }
        closedir(dir);
    }
}

// True when the input ran through without a checker, sanitizer or crash stopping it.
bool runs_clean(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool findings = false;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--findings") == 0) {
            findings = true;
        } else {
            collect(argv[i], files);
        }
    }
    size_t clean = 0;
    for (const std::string& file : files) {
        const bool ok = runs_clean(file);
        clean += ok;
        if (ok == findings) {
            std::printf(findings ? "%s now runs clean: the fault is fixed, move the input into the corpus\n"
                                 : "%s fails (its report is above)\n",
                        file.c_str());
        }
    }
    std::printf("%zu inputs: %zu ran clean, %zu failed\n", files.size(), clean, files.size() - clean);
    if (files.empty()) return 1;
    return findings ? (clean == 0 ? 0 : 1) : (clean == files.size() ? 0 : 1);
}
