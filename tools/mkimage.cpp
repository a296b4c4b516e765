// ulx-mkimage: writes a stand-in firmware image. The header carries the
// product code at offset 0 and the NUL-terminated version text at offset
// 92; every other byte is pseudo-random, drawn from the seed, so the same
// arguments always give the same file.
//
//   ulx-mkimage --product CODE --version TEXT --size BYTES [--seed N] -o FILE
//   ulx-mkimage --help | --version
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {
constexpr size_t VERSION_OFFSET = 92;
constexpr size_t HEADER_SIZE = 128;

// splitmix64: small, fast and fully determined by its seed.
uint64_t nextValue(uint64_t* state) {
    uint64_t z = (*state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

const char USAGE[] = "usage: ulx-mkimage --product CODE --version TEXT --size BYTES [--seed N] -o FILE\n";

int usage() {
    fputs(USAGE, stderr);
    return 2;
}

// 0 once text is fully written to standard output, 1 otherwise.
int print(const char* text) {
    fputs(text, stdout);
    return fflush(stdout) == 0 && !ferror(stdout) ? 0 : 1;
}

// Copies text and its NUL into image at offset, as far as the image reaches.
void place(std::vector<uint8_t>& image, size_t offset, const std::string& text) {
    for (size_t i = 0; i <= text.size() && offset + i < image.size(); ++i)
        image[offset + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : 0;
}
}  // namespace

int main(int argc, char** argv) {
    // --version with a value names the image's version text; alone, it asks
    // for the program's own version.
    if (argc == 2 && strcmp(argv[1], "--help") == 0)
        return print((std::string(USAGE) +
                      "Writes a stand-in firmware image: the product code at offset 0, the version\n"
                      "text at offset 92, every other byte pseudo-random from the seed (default 1).\n"
                      "\noptions:\n"
                      "  --product CODE      product code at the start of the header\n"
                      "  --version TEXT      version text at offset 92 (at most 35 characters)\n"
                      "  --size BYTES        size of the image\n"
                      "  --seed N            seed of the pseudo-random bytes (0x for hexadecimal)\n"
                      "  -o FILE             where to write the image\n"
                      "  --help              show this text\n"
                      "  --version           alone: show the program's version\n")
                         .c_str());
    if (argc == 2 && strcmp(argv[1], "--version") == 0) return print("ulx-mkimage " ULX_VERSION_TEXT "\n");
    std::string product, version, output;
    unsigned long long size = 0, seed = 1;
    bool haveSize = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (i + 1 >= argc) return usage();
        const char* value = argv[++i];
        char* end = nullptr;
        if (arg == "--product") product = value;
        else if (arg == "--version") version = value;
        else if (arg == "-o") output = value;
        else if (arg == "--size") {
            size = strtoull(value, &end, 10);
            haveSize = end && *end == '\0' && *value != '\0';
        } else if (arg == "--seed") {
            seed = strtoull(value, &end, 0);
            if (!end || *end != '\0') return usage();
        } else {
            return usage();
        }
    }
    if (product.empty() || output.empty() || !haveSize) return usage();
    if (product.size() >= VERSION_OFFSET) {
        fprintf(stderr, "ulx-mkimage: the product code must end before offset 92\n");
        return 2;
    }
    if (version.size() > HEADER_SIZE - VERSION_OFFSET - 1) {
        fprintf(stderr, "ulx-mkimage: the version text is limited to 35 characters\n");
        return 2;
    }
    if (size > (1ull << 32)) {
        fprintf(stderr, "ulx-mkimage: size too large\n");
        return 2;
    }

    std::vector<uint8_t> image(static_cast<size_t>(size));
    uint64_t state = seed;
    for (size_t i = 0; i < image.size(); i += 8) {
        uint64_t v = nextValue(&state);
        for (size_t k = 0; k < 8 && i + k < image.size(); ++k) image[i + k] = static_cast<uint8_t>(v >> (8 * k));
    }
    place(image, 0, product);
    place(image, VERSION_OFFSET, version);

    FILE* f = fopen(output.c_str(), "wb");
    if (!f) {
        perror(output.c_str());
        return 1;
    }
    bool ok = image.empty() || fwrite(image.data(), 1, image.size(), f) == image.size();
    ok = fclose(f) == 0 && ok;
    if (!ok) {
        perror(output.c_str());
        return 1;
    }
    return 0;
}
