// A file system such as a network's that has stopped answering: every name in it is a folder, and
// listing one waits until the file named second on the command line exists, then finds it empty.
//   hanging_fs MOUNTPOINT ANSWER
#define FUSE_USE_VERSION 31
#include <fuse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace {
const char* answer = nullptr;

int folder(const char*, struct stat* info, fuse_file_info*) {
    std::memset(info, 0, sizeof *info);
    info->st_mode = S_IFDIR | 0755;
    info->st_nlink = 2;
    return 0;
}

int list(const char*, void* entries, fuse_fill_dir_t add, off_t, fuse_file_info*,
         fuse_readdir_flags) {
    while (access(answer, F_OK) != 0) usleep(10000);
    add(entries, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    add(entries, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    answer = argv[2];
    fuse_operations operations{};
    operations.getattr = folder;
    operations.readdir = list;
    char* arguments[] = {argv[0], const_cast<char*>("-f"), argv[1], nullptr};
    return fuse_main(3, arguments, &operations, nullptr);
}
