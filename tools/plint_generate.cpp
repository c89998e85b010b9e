// plint-generate [--percent N] [--seed N] [--wrap-footer-size] in.tar out.plint
// Makes a plint archive from a tar archive; "-" names standard input or output.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "generate.h"

int main(int argc, char** argv) {
    GenerateOptions options;
    int arg = 1;
    for (; arg < argc && std::strncmp(argv[arg], "--", 2) == 0; ++arg) {
        std::string flag = argv[arg];
        if (flag == "--percent" && arg + 1 < argc) {
            options.percent = std::atoi(argv[++arg]);
        } else if (flag == "--seed" && arg + 1 < argc) {
            options.seed = std::strtoull(argv[++arg], nullptr, 10);
        } else if (flag == "--wrap-footer-size") {
            options.wrap_footer_size = true;
        } else {
            std::fprintf(stderr, "plint-generate: unknown option %s\n", argv[arg]);
            return 2;
        }
    }
    if (argc - arg != 2) {
        std::fprintf(stderr,
                     "usage: plint-generate [--percent N] [--seed N] [--wrap-footer-size] in.tar out.plint\n");
        return 2;
    }
    std::FILE* in = std::strcmp(argv[arg], "-") == 0 ? stdin : std::fopen(argv[arg], "rb");
    std::FILE* out = std::strcmp(argv[arg + 1], "-") == 0 ? stdout : std::fopen(argv[arg + 1], "wb");
    if (!in || !out) {
        std::perror("plint-generate: open");
        return 1;
    }
    GenerateStats stats;
    std::string error = generate_plint_archive(in, out, options, &stats);
    if (error.empty() && out != stdout && std::fclose(out) != 0) error = "close of output failed";
    if (!error.empty()) {
        std::fprintf(stderr, "plint-generate: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "plint-generate: %llu entries, %llu placeholder entries\n",
                 static_cast<unsigned long long>(stats.entries),
                 static_cast<unsigned long long>(stats.placeholders));
    return 0;
}
