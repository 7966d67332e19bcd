// The single-thread baseline: zlib raw deflate at level 8 (window bits -15, memory level 8)
// of every file of a folder, in one thread, as a pack without our worker pool would do it.
// Prints "<seconds> <bytes in> <bytes out>".
//
// usage: pack-bench-zlib FOLDER

#include <dirent.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: pack-bench-zlib FOLDER\n");
        return 2;
    }
    std::string folder = argv[1];
    if (!folder.ends_with('/')) folder += '/';
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* d = readdir(dir))
            if (d->d_type == DT_REG) {
                std::string name = d->d_name;
                // Only the corpus: not the pack or archive the other contestants left there.
                if (name.find(".QPAK") == std::string::npos && name.find(".RPAK") == std::string::npos &&
                    name.find(".zip") == std::string::npos)
                    names.push_back(name);
            }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());

    auto start = std::chrono::steady_clock::now();
    unsigned long long in = 0, out = 0;
    std::vector<unsigned char> data, packed;
    for (const auto& name : names) {
        FILE* f = std::fopen((folder + name).c_str(), "rb");
        if (!f) continue;
        std::fseek(f, 0, SEEK_END);
        data.resize(static_cast<std::size_t>(std::ftell(f)));
        std::rewind(f);
        std::size_t got = std::fread(data.data(), 1, data.size(), f);
        std::fclose(f);
        if (got != data.size()) return 1;
        z_stream z{};
        if (deflateInit2(&z, 8, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return 1;
        packed.resize(deflateBound(&z, data.size()));
        z.next_in = data.data();
        z.avail_in = static_cast<uInt>(data.size());
        z.next_out = packed.data();
        z.avail_out = static_cast<uInt>(packed.size());
        if (deflate(&z, Z_FINISH) != Z_STREAM_END) return 1;
        in += data.size();
        out += z.total_out;
        deflateEnd(&z);
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.3f %llu %llu\n", seconds, in, out);
    return 0;
}
