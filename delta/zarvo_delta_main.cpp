// zarvo-delta: the publisher's host tool around the delta format.
//   zarvo-delta encode OLD NEW OUT
//   zarvo-delta apply OLD DELTA OUT [--size N]
// Exit status: 0 done, 1 failed, 2 usage, 3 refused (a file above the encoder's size limit).
#include "delta/delta.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct File {
    FILE* f = nullptr;
    File(const char* path, const char* mode) : f(std::fopen(path, mode)) {}
    ~File() {
        if (f) std::fclose(f);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
};

bool FileSize(FILE* f, uint64_t* size) {
    if (std::fseek(f, 0, SEEK_END) != 0) return false;
    long long end = ftello(f);
    if (end < 0 || std::fseek(f, 0, SEEK_SET) != 0) return false;
    *size = static_cast<uint64_t>(end);
    return true;
}

// The whole file, or false; a file above limit is not read and sets *tooLarge.
bool ReadAll(const char* path, std::vector<uint8_t>* bytes, bool* tooLarge) {
    File file(path, "rb");
    uint64_t size;
    if (!file.f || !FileSize(file.f, &size)) return false;
    if (size > kDeltaMaxEncodeSize) {
        *tooLarge = true;
        return false;
    }
    bytes->resize(size);
    return size == 0 || std::fread(bytes->data(), 1, size, file.f) == size;
}

int Encode(const char* oldPath, const char* newPath, const char* outPath) {
    std::vector<uint8_t> oldData, newData, delta;
    bool tooLarge = false;
    if (!ReadAll(oldPath, &oldData, &tooLarge) || !ReadAll(newPath, &newData, &tooLarge)) {
        if (tooLarge) {
            std::fprintf(
                stderr, "zarvo-delta: note: no delta, a file is larger than %llu MiB: %s, %s\n",
                static_cast<unsigned long long>(kDeltaMaxEncodeSize >> 20), oldPath, newPath);
            return 3;
        }
        std::fprintf(stderr, "zarvo-delta: cannot read %s or %s\n", oldPath, newPath);
        return 1;
    }
    DeltaStatus status = EncodeDelta(oldData, newData, &delta);
    if (status != DeltaStatus::Ok) {
        std::fprintf(stderr, "zarvo-delta: encode failed: %s\n", DeltaStatusName(status));
        return status == DeltaStatus::TooLarge ? 3 : 1;
    }
    std::string tmp = std::string(outPath) + ".tmp";
    {
        File out(tmp.c_str(), "wb");
        if (!out.f || std::fwrite(delta.data(), 1, delta.size(), out.f) != delta.size() ||
            std::fflush(out.f) != 0) {
            std::fprintf(stderr, "zarvo-delta: cannot write %s\n", tmp.c_str());
            return 1;
        }
    }
    if (std::rename(tmp.c_str(), outPath) != 0) {
        std::fprintf(stderr, "zarvo-delta: cannot rename %s\n", tmp.c_str());
        return 1;
    }
    return 0;
}

int Apply(const char* oldPath, const char* deltaPath, const char* outPath, int64_t size) {
    File old(oldPath, "rb");
    File delta(deltaPath, "rb");
    uint64_t oldSize;
    if (!old.f || !delta.f || !FileSize(old.f, &oldSize)) {
        std::fprintf(stderr, "zarvo-delta: cannot read %s or %s\n", oldPath, deltaPath);
        return 1;
    }
    uint64_t newSize;
    if (size >= 0) {
        newSize = static_cast<uint64_t>(size);
    } else {
        uint8_t head[kDeltaHeaderSize];
        size_t got = std::fread(head, 1, sizeof head, delta.f);
        DeltaHeader header;
        DeltaStatus status = ReadDeltaHeader(std::span<const uint8_t>(head, got), &header);
        if (status != DeltaStatus::Ok || std::fseek(delta.f, 0, SEEK_SET) != 0) {
            std::fprintf(stderr, "zarvo-delta: %s: %s\n", deltaPath, DeltaStatusName(status));
            return 1;
        }
        newSize = header.newSize;
    }
    std::string tmp = std::string(outPath) + ".tmp";
    File out(tmp.c_str(), "wb");
    if (!out.f) {
        std::fprintf(stderr, "zarvo-delta: cannot write %s\n", tmp.c_str());
        return 1;
    }
    DeltaApplyIo io;
    io.readDelta = [&](uint8_t* buffer, size_t capacity) -> int64_t {
        size_t n = std::fread(buffer, 1, capacity, delta.f);
        return std::ferror(delta.f) ? -1 : static_cast<int64_t>(n);
    };
    io.readOld = [&](uint64_t offset, uint8_t* buffer, size_t n) {
        return fseeko(old.f, static_cast<off_t>(offset), SEEK_SET) == 0 &&
               std::fread(buffer, 1, n, old.f) == n;
    };
    io.writeNew = [&](const uint8_t* data, size_t n) {
        return std::fwrite(data, 1, n, out.f) == n;
    };
    DeltaStatus status = ApplyDelta(io, oldSize, newSize, nullptr);
    bool flushed = std::fflush(out.f) == 0;
    std::fclose(out.f);
    out.f = nullptr;
    if (status != DeltaStatus::Ok || !flushed || std::rename(tmp.c_str(), outPath) != 0) {
        std::remove(tmp.c_str());
        std::fprintf(stderr, "zarvo-delta: apply failed: %s\n",
                     status != DeltaStatus::Ok ? DeltaStatusName(status) : "cannot write");
        return 1;
    }
    return 0;
}

int Usage() {
    std::fprintf(stderr, "usage: zarvo-delta encode OLD NEW OUT\n"
                         "       zarvo-delta apply OLD DELTA OUT [--size N]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "encode") == 0) return Encode(argv[2], argv[3], argv[4]);
    if ((argc == 5 || argc == 7) && std::strcmp(argv[1], "apply") == 0) {
        int64_t size = -1;
        if (argc == 7) {
            if (std::strcmp(argv[5], "--size") != 0) return Usage();
            char* end;
            unsigned long long n = std::strtoull(argv[6], &end, 10);
            if (*argv[6] == '\0' || *end != '\0' || n > INT64_MAX) return Usage();
            size = static_cast<int64_t>(n);
        }
        return Apply(argv[2], argv[3], argv[4], size);
    }
    return Usage();
}
