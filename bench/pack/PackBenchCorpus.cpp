// Writes the pack benchmark's corpus: a game-data-like folder of files from 1 KiB to 10 MiB
// whose content ranges from incompressible to highly repetitive. The same arguments always
// give the same bytes, so figures from different runs compare.
//
// usage: pack-bench-corpus FOLDER TOTAL_MB

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
    std::uint64_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return state_;
    }
    double unit() { return static_cast<double>(next() >> 11) / 9007199254740992.0; }

private:
    std::uint64_t state_;
};

// Text from a vocabulary of a few thousand made-up words and numbers, like scripts and
// tables; words are drawn with a skew so that some are common, as in real text.
void fillText(Random& random, std::vector<unsigned char>& data) {
    static std::vector<std::string> vocabulary = [] {
        Random words(7);
        std::vector<std::string> list;
        for (int i = 0; i < 4000; ++i) {
            std::string word;
            int length = 2 + static_cast<int>(words.next() % 9);
            for (int k = 0; k < length; ++k) word += static_cast<char>('a' + words.next() % 26);
            list.push_back(word);
        }
        return list;
    }();
    std::size_t at = 0;
    while (at < data.size()) {
        std::string word;
        if (random.next() % 5 == 0) {
            word = std::to_string(random.next() % 100000);
        } else {
            double u = random.unit();
            word = vocabulary[static_cast<std::size_t>(u * u * u * static_cast<double>(vocabulary.size()))];
        }
        word += random.next() % 12 == 0 ? '\n' : ' ';
        for (char c : word) {
            if (at == data.size()) break;
            data[at++] = static_cast<unsigned char>(c);
        }
    }
}

void fillRandom(Random& random, std::vector<unsigned char>& data) {
    for (std::size_t i = 0; i < data.size(); i += 8) {
        std::uint64_t v = random.next();
        for (std::size_t k = 0; k < 8 && i + k < data.size(); ++k)
            data[i + k] = static_cast<unsigned char>(v >> (8 * k));
    }
}

// Fixed-size records, like mesh or table data: a constant tag, a counter, and fields of
// noisy values.
void fillRecords(Random& random, std::vector<unsigned char>& data) {
    unsigned char record[32];
    for (auto& b : record) b = static_cast<unsigned char>(random.next());
    std::uint32_t counter = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        std::size_t field = i % sizeof record;
        if (field == 0) ++counter;
        if (field < 8)
            data[i] = record[field];
        else if (field < 12)
            data[i] = static_cast<unsigned char>(counter >> (8 * (field - 8)));
        else if (field % 4 == 3)
            data[i] = static_cast<unsigned char>(random.next());
        else
            data[i] = static_cast<unsigned char>(record[field] + random.next() % 4);
    }
}

// Mostly zeros with scattered values, like sparse images.
void fillSparse(Random& random, std::vector<unsigned char>& data) {
    for (auto& b : data) b = random.next() % 64 == 0 ? static_cast<unsigned char>(random.next()) : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: pack-bench-corpus FOLDER TOTAL_MB\n");
        return 2;
    }
    std::string folder = argv[1];
    if (!folder.ends_with('/')) folder += '/';
    const std::uint64_t target = std::strtoull(argv[2], nullptr, 10) * 1000000ull;
    Random random(20261208);
    std::vector<unsigned char> data;
    std::uint64_t total = 0;
    int count = 0;
    while (total < target) {
        // Nine in ten files are small (1 to 256 KiB), one in ten large (256 KiB to 10 MiB),
        // both spread evenly on a log scale.
        bool large = random.next() % 10 == 0;
        double low = large ? 262144.0 : 1024.0;
        double high = large ? 10485760.0 : 262144.0;
        std::uint64_t size = static_cast<std::uint64_t>(low * std::exp(random.unit() * std::log(high / low)));
        if (size > target - total && count > 0) size = std::max<std::uint64_t>(1024, target - total);
        data.resize(size);
        int kind = static_cast<int>(random.next() % 20);
        const char* ext;
        if (kind < 8)
            fillText(random, data), ext = "txt";
        else if (kind < 13)
            fillRandom(random, data), ext = "ogg";
        else if (kind < 18)
            fillRecords(random, data), ext = "msh";
        else
            fillSparse(random, data), ext = "bmp";
        char name[64];
        std::snprintf(name, sizeof name, "%sf%05d.%s", folder.c_str(), count, ext);
        FILE* f = std::fopen(name, "wb");
        if (!f || std::fwrite(data.data(), 1, data.size(), f) != data.size() || std::fclose(f) != 0) {
            std::perror(name);
            return 1;
        }
        total += size;
        ++count;
    }
    std::printf("%d files, %.1f MB\n", count, static_cast<double>(total) / 1e6);
    return 0;
}
