// mirvane: rewrites text with a local language model.
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("usage: mirvane [--serve [--socket [path] [--idle seconds]] | --socket-path]\n");
            return 0;
        }
    }
    std::fprintf(stderr, "mirvane: the rewrite service is not available in this build yet\n");
    return 3;
}
