// Runs a fuzz target over the files of its seed corpus, for the normal test suite.
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    int files = 0;
    for (int i = 1; i < argc; i++) {
        DIR *d = opendir(argv[i]);
        if (!d) {
            fprintf(stderr, "cannot open %s\n", argv[i]);
            return 2;
        }
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            std::string path = std::string(argv[i]) + "/" + e->d_name;
            FILE *f = fopen(path.c_str(), "rb");
            if (!f)
                continue;
            std::vector<uint8_t> bytes;
            int c;
            while ((c = fgetc(f)) != EOF)
                bytes.push_back((uint8_t)c);
            fclose(f);
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            files++;
        }
        closedir(d);
    }
    printf("%d inputs replayed\n", files);
    return files > 0 ? 0 : 1;
}
