#include "gateway/archive.h"
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <memory>
#include <vector>

bool writeArchive(const std::string& input, const std::string& itemName, const std::string& archivePath,
                  const std::function<bool()>& cancelled, std::string* why) {
    int fd = open(input.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return *why = "cannot open the document " + input, false;
    std::unique_ptr<int, void (*)(int*)> closer(&fd, [](int* f) { close(*f); });
    struct stat st = {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return *why = "the document is not a file", false;
    std::unique_ptr<struct archive, int (*)(struct archive*)> a(archive_write_new(), archive_write_free);
    if (!a) return *why = "no memory for the archive", false;
    unlink(archivePath.c_str());  // a file left there is replaced, never written through
    if (archive_write_set_format_7zip(a.get()) != ARCHIVE_OK ||
        archive_write_set_format_option(a.get(), "7zip", "compression", "lzma2") != ARCHIVE_OK ||
        archive_write_set_format_option(a.get(), "7zip", "compression-level", "5") != ARCHIVE_OK ||
        archive_write_open_filename(a.get(), archivePath.c_str()) != ARCHIVE_OK) {
        *why = std::string("cannot start the archive: ") + archive_error_string(a.get());
        return false;
    }
    std::unique_ptr<struct archive_entry, void (*)(struct archive_entry*)> entry(archive_entry_new(),
                                                                                 archive_entry_free);
    archive_entry_set_pathname(entry.get(), itemName.c_str());
    archive_entry_set_filetype(entry.get(), AE_IFREG);
    archive_entry_set_perm(entry.get(), 0644);
    archive_entry_set_size(entry.get(), st.st_size);
    archive_entry_set_mtime(entry.get(), st.st_mtime, 0);
    if (archive_write_header(a.get(), entry.get()) != ARCHIVE_OK) {
        *why = std::string("cannot add the item: ") + archive_error_string(a.get());
        return false;
    }
    std::vector<char> block(1 << 20);
    off_t total = 0;
    for (;;) {
        if (cancelled && cancelled()) return *why = "cancelled", false;
        ssize_t got = read(fd, block.data(), block.size());
        if (got < 0) return *why = "cannot read the document", false;
        if (got == 0) break;
        if (archive_write_data(a.get(), block.data(), static_cast<size_t>(got)) != got) {
            *why = std::string("cannot compress: ") + archive_error_string(a.get());
            return false;
        }
        total += got;
    }
    if (total != st.st_size) return *why = "the document changed while it was compressed", false;
    if (archive_write_close(a.get()) != ARCHIVE_OK) {
        *why = std::string("cannot finish the archive: ") + archive_error_string(a.get());
        return false;
    }
    return true;
}
