// A program for the end-to-end tests that writes the arguments after its first one, one to a
// line, into the file its first argument names, so that a test can see how it was started. The
// file appears whole: it is written under another name first and then renamed.
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc < 2) {
        return 2;
    }
    const std::string target = argv[1];
    const std::string partial = target + ".part";
    std::FILE* file = std::fopen(partial.c_str(), "wb");
    if (file == nullptr) {
        return 2;
    }
    for (int i = 2; i < argc; ++i) {
        std::fprintf(file, "%s\n", argv[i]);
    }
    std::fclose(file);
    return std::rename(partial.c_str(), target.c_str()) == 0 ? 0 : 2;
}
