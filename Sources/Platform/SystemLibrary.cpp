#include "Platform/SystemLibrary.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <gnu/libc-version.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace platform::system {

namespace {

// The executable's section headers sit at its end, so only the pieces named
// by offset are read, each bounded: no version table comes near this size.
constexpr std::size_t kMaxSectionBytes = 1 << 20;

bool readAt(int fd, std::uint64_t offset, std::size_t size, void* into) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, static_cast<char*>(into) + done, size - done, static_cast<off_t>(offset + done));
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<std::vector<char>> section(int fd, const Elf64_Shdr& header) {
    if (header.sh_size == 0 || header.sh_size > kMaxSectionBytes) return std::nullopt;
    std::vector<char> bytes(header.sh_size);
    if (!readAt(fd, header.sh_offset, bytes.size(), bytes.data())) return std::nullopt;
    return bytes;
}

// "GLIBC_2.34" as {2, 34}; none for other names (GLIBC_PRIVATE, GLIBCXX_3.4).
std::optional<std::vector<long>> glibcVersion(const char* name) {
    constexpr const char* prefix = "GLIBC_";
    if (std::strncmp(name, prefix, std::strlen(prefix)) != 0) return std::nullopt;
    std::vector<long> parts;
    const char* p = name + std::strlen(prefix);
    while (*p) {
        if (*p < '0' || *p > '9') return std::nullopt;
        char* end = nullptr;
        parts.push_back(std::strtol(p, &end, 10));
        p = end;
        if (*p == '.') ++p;
        else if (*p) return std::nullopt;
    }
    if (parts.empty()) return std::nullopt;
    return parts;
}

std::string joined(const std::vector<long>& parts) {
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? "." : "") + std::to_string(parts[i]);
    return out;
}

std::optional<std::string> newestGlibcNeed(int fd) {
    Elf64_Ehdr elf{};
    if (!readAt(fd, 0, sizeof elf, &elf) || std::memcmp(elf.e_ident, ELFMAG, SELFMAG) != 0 ||
        elf.e_ident[EI_CLASS] != ELFCLASS64 || elf.e_shentsize != sizeof(Elf64_Shdr) || elf.e_shnum == 0)
        return std::nullopt;
    std::vector<Elf64_Shdr> headers(elf.e_shnum);
    if (!readAt(fd, elf.e_shoff, headers.size() * sizeof(Elf64_Shdr), headers.data())) return std::nullopt;
    for (const Elf64_Shdr& header : headers) {
        if (header.sh_type != SHT_GNU_verneed || header.sh_link >= headers.size()) continue;
        const auto needs = section(fd, header);
        const auto names = section(fd, headers[header.sh_link]);
        if (!needs || !names) return std::nullopt;
        auto name = [&](std::uint32_t offset) -> const char* {
            if (offset >= names->size() || !std::memchr(names->data() + offset, '\0', names->size() - offset))
                return nullptr;
            return names->data() + offset;
        };
        std::optional<std::vector<long>> newest;
        std::size_t at = 0;
        for (std::size_t files = 0; files < header.sh_info && at + sizeof(Elf64_Verneed) <= needs->size(); ++files) {
            Elf64_Verneed need{};
            std::memcpy(&need, needs->data() + at, sizeof need);
            std::size_t aux = at + need.vn_aux;
            for (std::size_t i = 0; i < need.vn_cnt && aux + sizeof(Elf64_Vernaux) <= needs->size(); ++i) {
                Elf64_Vernaux version{};
                std::memcpy(&version, needs->data() + aux, sizeof version);
                if (const char* text = name(version.vna_name))
                    if (auto parts = glibcVersion(text); parts && (!newest || *parts > *newest)) newest = parts;
                if (version.vna_next == 0) break;
                aux += version.vna_next;
            }
            if (need.vn_next == 0) break;
            at += need.vn_next;
        }
        if (newest) return joined(*newest);
        return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> requiredCLibraryVersion(const std::string& elfFile) {
    const int fd = ::open(elfFile.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    auto version = newestGlibcNeed(fd);
    ::close(fd);
    return version;
}

std::optional<std::string> requiredCLibraryVersion() {
    static const std::optional<std::string> version = requiredCLibraryVersion("/proc/self/exe");
    return version;
}

std::string runningCLibraryVersion() { return gnu_get_libc_version(); }

void* openLibrary(const std::string& fileName, std::string* error) {
    // Never closed: what a library hands out (codecs, contexts) may outlive
    // any one caller.
    void* library = ::dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library && error) {
        const char* reason = ::dlerror();
        *error = reason ? reason : fileName + " could not be loaded";
    }
    return library;
}

void* librarySymbol(void* library, const char* name) { return library ? ::dlsym(library, name) : nullptr; }

}  // namespace platform::system
