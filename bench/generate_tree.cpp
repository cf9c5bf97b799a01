// Writes an application-shaped tree for the benchmarks, deterministic from a
// seed: 6059 files, 1,392,925,288 bytes at scale 1, names nesting up to nine
// separators deep with the longest 131 code units, the largest file
// 143,151,760 bytes, no empty files, many small files and a few very large
// ones, compressing about 2.3:1 with zstd. Native Linux program.
//
//   generate_tree --output DIR [--scale S] [--seed N] [--main FILE]
//
// --main copies FILE in as main.dll (the application's main file) and takes
// its size out of the byte budget, so the totals stay as stated. Scale
// shrinks every size but keeps the file count (at least 1 byte per file).
// Incompressible parts are fresh PRNG output, never repeated; compressible
// parts are code-like text drawn from a Zipf-weighted vocabulary.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kFileCount = 6059;
constexpr std::uint64_t kTotalBytes = 1392925288;
constexpr std::uint64_t kLargestFile = 143151760;
constexpr int kMaxSeparators = 9;
constexpr std::size_t kLongestName = 131;
constexpr std::size_t kDirectoryCount = 700;
// Other files stay well below the largest one.
constexpr double kOtherFileCap = 0.6;
// Log-normal sizes: median and spread chosen so that the sum of 6059 draws
// lands near the product's total before the exact rescaling.
constexpr double kMedianBytes = 9000.0;
constexpr double kSizeSigma = 2.4;
// Binary files are segments of this size, each a fixed share random.
constexpr std::size_t kSegmentBytes = 64 * 1024;
// Share of random bytes in binary files, calibrated so that the whole
// tree compresses about 2.3:1 at level 19 with a 2 MiB window.
constexpr double kRandomShare = 0.15;
constexpr std::size_t kWriteChunk = 1 << 20;
// Above 1 the sizes grow instead: the packer's memory benchmark wants a
// 3 GiB tree of the same shape.
constexpr double kLargestScale = 4.0;

// xoshiro256**, seeded through splitmix64: fast, and the same everywhere.
class Random {
  public:
    explicit Random(std::uint64_t seed) {
        for (auto& word : state_) {
            seed += 0x9E3779B97F4A7C15ULL;
            std::uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
            word = z ^ (z >> 31);
        }
    }
    std::uint64_t next() {
        const std::uint64_t result = rotate(state_[1] * 5, 7) * 9;
        const std::uint64_t t = state_[1] << 17;
        state_[2] ^= state_[0];
        state_[3] ^= state_[1];
        state_[1] ^= state_[2];
        state_[0] ^= state_[3];
        state_[2] ^= t;
        state_[3] = rotate(state_[3], 45);
        return result;
    }
    // Uniform in [0, bound).
    std::uint64_t below(std::uint64_t bound) { return next() % bound; }
    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    double normal() {
        const double u1 = std::max(unit(), 1e-300);
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * unit());
    }
    void fill(unsigned char* out, std::size_t size) {
        std::size_t i = 0;
        for (; i + 8 <= size; i += 8) {
            const std::uint64_t word = next();
            std::memcpy(out + i, &word, 8);
        }
        const std::uint64_t word = next();
        std::memcpy(out + i, &word, size - i);
    }

  private:
    static std::uint64_t rotate(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    std::uint64_t state_[4];
};

const char* const kSyllables[] = {
    "ka",  "lo", "mi", "ne", "ru", "ta", "shi", "po",  "ve",  "zan", "qu",  "dor", "el",  "fi",
    "gra", "hu", "is", "jo", "ul", "ym", "ber", "cor", "dex", "tor", "nal", "pre", "sub", "ion"};

std::string syllableWord(Random& random, int minSyllables, int maxSyllables) {
    const int count =
        minSyllables +
        static_cast<int>(random.below(static_cast<std::uint64_t>(maxSyllables - minSyllables + 1)));
    std::string word;
    for (int i = 0; i < count; ++i) {
        word += kSyllables[random.below(std::size(kSyllables))];
    }
    return word;
}

// Code-like text: identifiers from a Zipf-weighted vocabulary, keywords,
// punctuation, numbers and comments, line by line.
class TextSource {
  public:
    explicit TextSource(std::uint64_t seed) : random_(seed) {
        Random words(0x5EED0F0CAB ^ seed);
        const char* const keywords[] = {"def",   "return", "self",  "import", "from",  "class",
                                        "if",    "else",   "for",   "in",     "None",  "True",
                                        "False", "while",  "try",   "except", "with",  "as",
                                        "yield", "lambda", "raise", "assert", "const", "int"};
        for (const char* keyword : keywords) {
            vocabulary_.push_back(keyword);
        }
        while (vocabulary_.size() < kVocabularySize) {
            std::string word = syllableWord(words, 1, 4);
            if (words.below(3) == 0) {
                word += "_" + syllableWord(words, 1, 2);
            }
            vocabulary_.push_back(word);
        }
        // Zipf weights 1/(rank+1), sampled through a table of 65536 slots.
        double sum = 0;
        for (std::size_t i = 0; i < kVocabularySize; ++i) {
            sum += 1.0 / static_cast<double>(i + 1);
        }
        double cumulative = 0;
        std::size_t slot = 0;
        for (std::size_t i = 0; i < kVocabularySize && slot < kTableSize; ++i) {
            cumulative += 1.0 / static_cast<double>(i + 1) / sum;
            const auto end = static_cast<std::size_t>(cumulative * kTableSize);
            while (slot < end && slot < kTableSize) {
                table_[slot++] = static_cast<std::uint16_t>(i);
            }
        }
        while (slot < kTableSize) {
            table_[slot++] = static_cast<std::uint16_t>(kVocabularySize - 1);
        }
    }

    // Appends lines until out holds at least size bytes, then cuts it there.
    void fill(std::string* out, std::size_t size) {
        while (out->size() < size) {
            appendLine(out);
        }
        out->resize(size);
    }

  private:
    static constexpr std::size_t kVocabularySize = 6000;
    static constexpr std::size_t kTableSize = 65536;

    const std::string& word() { return vocabulary_[table_[random_.next() & (kTableSize - 1)]]; }

    void appendNumber(std::string* out) {
        char text[32];
        const std::uint64_t r = random_.next();
        if ((r & 3) == 0) {
            std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(r >> 40));
        } else {
            std::snprintf(text, sizeof text, "%llu",
                          static_cast<unsigned long long>((r >> 8) % 100000));
        }
        *out += text;
    }

    void appendLine(std::string* out) {
        const std::uint64_t shape = random_.next();
        out->append(4 * ((shape >> 8) % 4), ' ');
        switch (shape % 6) {
        case 0: // definition
            *out += "def " + word() + "(" + word() + ", " + word() + "):";
            break;
        case 1: // assignment with a call
            *out += word() + " = " + word() + "." + word() + "(" + word() + ", ";
            appendNumber(out);
            *out += ")";
            break;
        case 2: { // comment
            *out += "#";
            const std::uint64_t count = 3 + (shape >> 16) % 9;
            for (std::uint64_t i = 0; i < count; ++i) {
                *out += " " + word();
            }
            break;
        }
        case 3: // import
            *out += "from " + word() + "." + word() + " import " + word();
            break;
        case 4: // condition
            *out += "if " + word() + " > ";
            appendNumber(out);
            *out += " and not " + word() + ":";
            break;
        default: // return
            *out += "return " + word() + "[" + word() + "] + ";
            appendNumber(out);
            break;
        }
        *out += '\n';
    }

    Random random_;
    std::vector<std::string> vocabulary_;
    std::uint16_t table_[kTableSize];
};

enum class Kind { text, binary, packed };

struct FileSpec {
    std::string name; // relative, '/' between components
    std::uint64_t size = 0;
    Kind kind = Kind::text;
};

const char* const kTextExtensions[] = {".py", ".txt", ".json", ".pem", ".cfg", ".html"};
const char* const kBinaryExtensions[] = {".dll", ".pyd", ".bin", ".dat"};
const char* const kPackedExtensions[] = {".zip", ".png", ".gz"};

// A directory tree with one chain reaching nine separators (ten components
// for a file), the rest hanging off random parents.
std::vector<std::string> makeDirectories(Random& random) {
    std::vector<std::string> directories{""}; // the root
    std::vector<int> depth{0};
    std::set<std::string> seen{""};
    std::string chain;
    for (int level = 1; level <= kMaxSeparators; ++level) {
        chain += (level == 1 ? "" : "/") + syllableWord(random, 1, 2);
        directories.push_back(chain);
        depth.push_back(level);
        seen.insert(chain);
    }
    while (directories.size() < kDirectoryCount) {
        // Parents near the top are likelier, as in real packages.
        const std::size_t parent =
            random.below(random.below(3) == 0 ? directories.size() : directories.size() / 4 + 1);
        if (depth[parent] >= kMaxSeparators) {
            continue;
        }
        const std::string base = directories[parent];
        const std::string path = (base.empty() ? "" : base + "/") + syllableWord(random, 1, 3);
        if (!seen.insert(path).second) {
            continue;
        }
        directories.push_back(path);
        depth.push_back(depth[parent] + 1);
    }
    return directories;
}

std::uint64_t lognormalBytes(Random& random) {
    return static_cast<std::uint64_t>(kMedianBytes * std::exp(kSizeSigma * random.normal())) + 1;
}

Kind kindFor(Random& random, std::uint64_t size) {
    if (size > 512 * 1024) {
        return random.below(10) == 0 ? Kind::packed : Kind::binary;
    }
    const std::uint64_t r = random.below(10);
    return r < 6 ? Kind::text : (r < 9 ? Kind::binary : Kind::packed);
}

const char* extensionFor(Random& random, Kind kind) {
    switch (kind) {
    case Kind::text:
        return kTextExtensions[random.below(std::size(kTextExtensions))];
    case Kind::binary:
        return kBinaryExtensions[random.below(std::size(kBinaryExtensions))];
    default:
        return kPackedExtensions[random.below(std::size(kPackedExtensions))];
    }
}

// Full-scale sizes: main.dll first, one file exactly the largest, the rest
// log-normal, rescaled so that the total is exact.
std::vector<std::uint64_t> fullScaleSizes(Random& random, std::uint64_t mainSize) {
    std::vector<double> weights(kFileCount);
    for (std::size_t i = 1; i < kFileCount; ++i) {
        weights[i] = static_cast<double>(lognormalBytes(random));
    }
    const std::size_t largest = static_cast<std::size_t>(
        std::max_element(weights.begin() + 1, weights.end()) - weights.begin());
    const double cap = kOtherFileCap * static_cast<double>(kLargestFile);
    const double budget = static_cast<double>(kTotalBytes - kLargestFile - mainSize);
    // Scale to the budget, cap, and repeat until the capped files stop
    // pushing the others up.
    for (int round = 0; round < 8; ++round) {
        double sum = 0;
        for (std::size_t i = 1; i < kFileCount; ++i) {
            sum += i == largest ? 0.0 : weights[i];
        }
        for (std::size_t i = 1; i < kFileCount; ++i) {
            weights[i] = std::min(cap, weights[i] * budget / sum);
        }
    }
    std::vector<std::uint64_t> sizes(kFileCount);
    sizes[0] = mainSize;
    sizes[largest] = kLargestFile;
    std::uint64_t sum = mainSize + kLargestFile;
    std::size_t second = 1;
    for (std::size_t i = 1; i < kFileCount; ++i) {
        if (i == largest) {
            continue;
        }
        sizes[i] = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(weights[i]));
        sum += sizes[i];
        if (second == largest || sizes[i] > sizes[second]) {
            second = i;
        }
    }
    sizes[second] += kTotalBytes - sum; // rounding left-over, a few KiB at most
    return sizes;
}

std::vector<FileSpec> planTree(std::uint64_t seed, std::uint64_t mainSize) {
    Random random(seed);
    const std::vector<std::string> directories = makeDirectories(random);
    const std::vector<std::uint64_t> sizes = fullScaleSizes(random, mainSize);
    std::vector<FileSpec> files(kFileCount);
    files[0] = {"main.dll", mainSize, Kind::binary};
    std::set<std::string> seen{"main.dll"};
    std::size_t deepest = 0;
    for (std::size_t i = 1; i < kFileCount; ++i) {
        files[i].size = sizes[i];
        files[i].kind = kindFor(random, sizes[i]);
        // The first files fill the deep chain, so that depth nine is there.
        const std::string& directory =
            i <= kMaxSeparators ? directories[i] : directories[random.below(directories.size())];
        const std::string prefix = directory.empty() ? "" : directory + "/";
        for (;;) {
            std::string base = syllableWord(random, 1, 4);
            if (random.below(4) == 0) {
                base += "_" + syllableWord(random, 1, 3);
            }
            std::string name = prefix + base + extensionFor(random, files[i].kind);
            if (name.size() < kLongestName && seen.insert(name).second) {
                files[i].name = name;
                break;
            }
        }
        if (i == kMaxSeparators) {
            deepest = i;
        }
    }
    // Lengthen the deepest file's base name to make it the longest name.
    FileSpec& longest = files[deepest];
    const std::size_t dot = longest.name.rfind('.');
    seen.erase(longest.name);
    longest.name.insert(dot, kLongestName - longest.name.size(), 'x');
    if (!seen.insert(longest.name).second) {
        throw std::runtime_error("the padded longest name collides");
    }
    return files;
}

std::vector<std::uint64_t> scaledSizes(const std::vector<FileSpec>& files, double scale) {
    std::vector<std::uint64_t> sizes(files.size());
    std::uint64_t sum = files[0].size;
    std::size_t largest = 1;
    std::size_t second = 0;
    sizes[0] = files[0].size;
    for (std::size_t i = 1; i < files.size(); ++i) {
        sizes[i] = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::llround(
                                                  static_cast<double>(files[i].size) * scale)));
        sum += sizes[i];
        if (files[i].size == kLargestFile) {
            largest = i;
        }
    }
    for (std::size_t i = 1; i < files.size(); ++i) {
        if (i != largest && (second == 0 || sizes[i] > sizes[second])) {
            second = i;
        }
    }
    // Keep the total at scale times the product's, when the floor of one
    // byte per file allows it.
    const auto wanted =
        static_cast<std::uint64_t>(std::llround(static_cast<double>(kTotalBytes) * scale));
    if (wanted > sum) {
        sizes[second] += wanted - sum;
    } else if (sum - wanted < sizes[second]) {
        sizes[second] -= sum - wanted;
    }
    return sizes;
}

void writeContent(const std::filesystem::path& path, const FileSpec& file, std::uint64_t size,
                  std::uint64_t seed, TextSource& text) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        throw std::runtime_error("cannot create " + path.string());
    }
    Random random(seed);
    std::string chunk;
    std::vector<unsigned char> noise(kSegmentBytes);
    std::uint64_t written = 0;
    while (written < size) {
        const std::size_t piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(kSegmentBytes, size - written));
        // Every segment of a binary file starts with its share of random
        // bytes, so the share is the same for small and large files and at
        // every scale.
        const std::size_t randomBytes =
            file.kind == Kind::packed
                ? piece
                : (file.kind == Kind::binary
                       ? static_cast<std::size_t>(static_cast<double>(piece) * kRandomShare)
                       : 0);
        random.fill(noise.data(), randomBytes);
        std::fwrite(noise.data(), 1, randomBytes, out);
        chunk.clear();
        text.fill(&chunk, piece - randomBytes);
        std::fwrite(chunk.data(), 1, chunk.size(), out);
        written += piece;
    }
    if (std::fclose(out) != 0) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

struct Options {
    std::filesystem::path output;
    double scale = 1.0;
    std::uint64_t seed = 1;
    std::filesystem::path mainFile;
};

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) {
            throw std::runtime_error("missing value after " + option);
        }
        const std::string value = argv[++i];
        if (option == "--output") {
            options.output = value;
        } else if (option == "--scale") {
            options.scale = std::stod(value);
        } else if (option == "--seed") {
            options.seed = std::stoull(value);
        } else if (option == "--main") {
            options.mainFile = value;
        } else {
            throw std::runtime_error("unknown option " + option);
        }
    }
    if (options.output.empty() || !(options.scale > 0.0 && options.scale <= kLargestScale)) {
        throw std::runtime_error(
            "usage: generate_tree --output DIR [--scale S (0,4]] [--seed N] [--main FILE]");
    }
    return options;
}

} // namespace

int main(int argc, char** argv) {
    try {
        const Options options = parseOptions(argc, argv);
        const std::uint64_t mainSize =
            options.mainFile.empty() ? 250000 : std::filesystem::file_size(options.mainFile);
        const std::vector<FileSpec> files = planTree(options.seed, mainSize);
        const std::vector<std::uint64_t> sizes = scaledSizes(files, options.scale);
        std::filesystem::remove_all(options.output);
        TextSource text(options.seed);
        std::uint64_t total = 0;
        std::uint64_t byKind[3] = {0, 0, 0};
        std::uint64_t largest = 0;
        std::size_t longest = 0;
        for (std::size_t i = 0; i < files.size(); ++i) {
            const std::filesystem::path path = options.output / files[i].name;
            std::filesystem::create_directories(path.parent_path());
            if (i == 0 && !options.mainFile.empty()) {
                std::filesystem::copy_file(options.mainFile, path);
            } else {
                writeContent(path, files[i], sizes[i], options.seed * 1000003 + i, text);
            }
            total += sizes[i];
            byKind[static_cast<int>(files[i].kind)] += sizes[i];
            largest = std::max(largest, sizes[i]);
            longest = std::max(longest, files[i].name.size());
        }
        std::printf("{\"files\": %zu, \"bytes\": %llu, \"largest\": %llu, \"longest_name\": %zu, "
                    "\"text_bytes\": %llu, \"binary_bytes\": %llu, \"packed_bytes\": %llu}\n",
                    files.size(), static_cast<unsigned long long>(total),
                    static_cast<unsigned long long>(largest), longest,
                    static_cast<unsigned long long>(byKind[0]),
                    static_cast<unsigned long long>(byKind[1]),
                    static_cast<unsigned long long>(byKind[2]));
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "generate_tree: %s\n", error.what());
        return 1;
    }
}
