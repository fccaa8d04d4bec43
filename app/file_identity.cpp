#include "file_identity.h"

#include <climits>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The name a path finally stands for: symbolic links followed one by one,
// also to a target that does not exist yet, which stat cannot see through
// (writing to such a link creates its target).
std::string follow_links(std::string path) {
  for (int hops = 0; hops < 40; hops++) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
      return path;
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof(buf));
    if (n <= 0 || static_cast<size_t>(n) >= sizeof(buf))
      return path;
    std::string target(buf, static_cast<size_t>(n));
    // A relative target is relative to the link's folder.
    const size_t slash = path.find_last_of('/');
    if (target[0] != '/' && slash != std::string::npos)
      target = path.substr(0, slash + 1) + target;
    path = std::move(target);
  }
  return path;  // a loop: opening it reports that
}

// An existing file is its (device, inode); a file still to be created is its
// folder's (device, inode) plus its name in that folder.
struct identity_t {
  bool known = false;
  bool exists = false;
  bool regular = false;
  dev_t dev = 0;
  ino_t ino = 0;
  std::string leaf;
};

identity_t identify(const std::string &named) {
  identity_t id;
  struct stat st;
  if (::stat(named.c_str(), &st) == 0) {
    id.known = id.exists = true;
    id.regular = S_ISREG(st.st_mode);
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    return id;
  }
  const std::string path = follow_links(named);
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  id.leaf = slash == std::string::npos ? path : path.substr(slash + 1);
  if (id.leaf.empty() || ::stat(folder.c_str(), &st) != 0)
    return id;  // cannot be created; opening it reports that
  id.known = true;
  id.regular = true;
  id.dev = st.st_dev;
  id.ino = st.st_ino;
  return id;
}

bool same(const identity_t &a, const identity_t &b) {
  // Devices such as /dev/null may take every output at once.
  return a.known && b.known && a.regular && b.regular && a.exists == b.exists && a.dev == b.dev &&
         a.ino == b.ino && a.leaf == b.leaf;
}

} // namespace

std::string check_distinct_files(const named_file_t &input, const std::vector<named_file_t> &outputs) {
  const identity_t in = identify(input.path);
  std::vector<identity_t> ids;
  for (const named_file_t &o : outputs) {
    const identity_t id = identify(o.path);
    if (same(id, in))
      return std::string("the ") + o.role + " '" + o.path + "' is the " + input.role + " '" + input.path +
             "'; refusing to overwrite it";
    for (size_t k = 0; k < ids.size(); k++)
      if (same(id, ids[k]))
        return std::string("the ") + outputs[k].role + " '" + outputs[k].path + "' and the " + o.role + " '" +
               o.path + "' are the same file";
    ids.push_back(id);
  }
  return {};
}

bool same_open_file(std::FILE *f, int fd) {
  struct stat a, b;
  if (!f || ::fstat(::fileno(f), &a) != 0 || ::fstat(fd, &b) != 0)
    return false;
  // Devices such as /dev/null may take every stream at once.
  return !S_ISCHR(a.st_mode) && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}
