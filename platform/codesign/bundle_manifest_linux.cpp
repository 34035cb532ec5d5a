#include <algorithm>
#include <nlohmann/json.hpp>

#include "platform/codesign/bundle_manifest.hpp"
#include "platform/codesign/file_access.hpp"

namespace vantreel::platform::codesign {
namespace {

using Entry = BundleManifest::Entry;

// One directory of the walk's current path: its descriptor and the names still to visit in it.
struct OpenDirectory {
  posix::UniqueFd fd;
  std::string prefix;  // "" for the root, else "a/b/"
  std::size_t depth;
  std::vector<std::string> names;
  std::size_t next = 0;
};

// Calls visit(directoryFd, name, path, status) for every entry that is no directory, and
// descends into directories, never through a link; the seal folder is left out. Stops at the
// first status other than errSecSuccess that visit returns. Depth first, so that only the
// directories of the current path are open: a bundle of many folders costs names, never
// descriptors the daemon's other callers need.
template <class Visit>
OSStatus walk(int rootFd, const BundleManifest::Limits& limits, Visit&& visit) {
  std::size_t seen = 0;
  std::vector<OpenDirectory> path;
  const auto enter = [&](posix::UniqueFd fd, std::string prefix, std::size_t depth) {
    auto names = file_access::listDirectory(fd.get(), limits.maxEntries - seen);
    if (!names) {
      return false;
    }
    path.push_back({std::move(fd), std::move(prefix), depth, std::move(*names), 0});
    return true;
  };
  {
    // Walk a private descriptor so the caller's directory offset is left alone.
    auto root = file_access::openDirectoryAt(rootFd, ".");
    if (!root || !enter(std::move(*root), "", 0)) {
      return errSecCSBadResource;
    }
  }
  const auto sealFolder = BundleManifest::kSealFolder;
  const std::string sealParent(sealFolder.substr(0, sealFolder.find('/') + 1));
  const std::string sealName(sealFolder.substr(sealFolder.find('/') + 1));
  while (!path.empty()) {
    OpenDirectory& directory = path.back();
    if (directory.next == directory.names.size()) {
      path.pop_back();
      continue;
    }
    const std::string name = directory.names[directory.next++];
    if (directory.prefix == sealParent && name == sealName) {
      continue;
    }
    if (++seen > limits.maxEntries) {
      return errSecCSBadResource;
    }
    const int dirFd = directory.fd.get();
    const auto status = file_access::statusAt(dirFd, name);
    if (!status) {
      return errSecCSBadResource;
    }
    std::string entryPath = directory.prefix + name;
    if (status->type == file_access::Type::directory) {
      const std::size_t depth = directory.depth + 1;
      if (depth >= limits.maxDepth) {
        return errSecCSBadResource;
      }
      auto child = file_access::openDirectoryAt(dirFd, name);
      // directory is invalid once enter has grown the path.
      if (!child || !enter(std::move(*child), entryPath + "/", depth)) {
        return errSecCSBadResource;
      }
      continue;
    }
    if (const OSStatus verdict = visit(dirFd, name, entryPath, *status); verdict != errSecSuccess) {
      return verdict;
    }
  }
  return errSecSuccess;
}

// Exactly size bytes of an open file, whatever it holds beyond them.
tl::expected<Sha256::Digest, OSStatus> hashOpenFile(int fd, std::uint64_t size) {
  Sha256 hash;
  std::vector<std::uint8_t> buffer(std::size_t{64} * 1024);
  for (std::uint64_t offset = 0; offset < size;) {
    const auto chunk =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - offset));
    if (!file_access::readAt(fd, offset, std::span(buffer).first(chunk))) {
      return tl::unexpected(errSecCSBadResource);
    }
    hash.update(std::span(buffer).first(chunk));
    offset += chunk;
  }
  return hash.finish();
}

// The file that the walk saw as `seen`, opened without following links; nothing when the entry
// was swapped in between.
tl::expected<posix::UniqueFd, OSStatus> openSeen(int dirFd, const std::string& name,
                                                 const file_access::Status& seen) {
  auto file = file_access::openFileAt(dirFd, name);
  if (!file) {
    return tl::unexpected(errSecCSBadResource);
  }
  const auto opened = file_access::status(file->get());
  if (!opened || opened->type != file_access::Type::regular || opened->inode != seen.inode ||
      opened->device != seen.device || opened->size != seen.size) {
    return tl::unexpected(errSecCSBadResource);
  }
  return std::move(*file);
}

// Opens path below rootFd one component at a time, never through a link.
tl::expected<posix::UniqueFd, OSStatus> openBelow(int rootFd, const std::string& path,
                                                  const file_access::Status& seen) {
  std::optional<posix::UniqueFd> directory;
  std::size_t from = 0;
  for (auto slash = path.find('/'); slash != std::string::npos; slash = path.find('/', from)) {
    auto next = file_access::openDirectoryAt(directory ? directory->get() : rootFd,
                                             path.substr(from, slash - from));
    if (!next) {
      return tl::unexpected(errSecCSBadResource);
    }
    directory = std::move(*next);
    from = slash + 1;
  }
  return openSeen(directory ? directory->get() : rootFd, path.substr(from), seen);
}

bool isSealablePath(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos ||
      path.starts_with(std::string(BundleManifest::kSealFolder) + "/")) {
    return false;
  }
  std::size_t from = 0;
  for (;;) {
    const auto slash = path.find('/', from);
    const auto part = std::string_view(path).substr(from, slash - from);
    if (part.empty() || part == "." || part == "..") {
      return false;
    }
    if (slash == std::string::npos) {
      return true;
    }
    from = slash + 1;
  }
}

bool sizesFit(const std::vector<Entry>& entries, std::uint64_t maxBytes) {
  std::uint64_t total = 0;
  for (const auto& entry : entries) {
    if (entry.size > maxBytes - total) {
      return false;
    }
    total += entry.size;
  }
  return true;
}

// Looks at the shape of a manifest before a document is built from it: the library's CBOR
// reader recurses once per level and throws on some declared sizes, and a manifest is only ever
// an array of short arrays of plain values.
// NOLINTNEXTLINE(bugprone-exception-escape): nothing here allocates but the library's strings
class ManifestShape final : public nlohmann::json_sax<nlohmann::json> {
 public:
  explicit ManifestShape(std::size_t maxEntries) : maxEntries_(maxEntries) {}

  bool null() override { return false; }
  bool boolean(bool /*value*/) override { return depth_ == 2; }
  bool number_integer(number_integer_t /*value*/) override { return false; }
  bool number_unsigned(number_unsigned_t /*value*/) override { return depth_ == 2; }
  bool number_float(number_float_t /*value*/, const string_t& /*text*/) override { return false; }
  bool string(string_t& /*value*/) override { return depth_ == 2; }
  bool binary(binary_t& /*value*/) override { return depth_ == 2; }
  bool start_object(std::size_t /*elements*/) override { return false; }
  bool key(string_t& /*value*/) override { return false; }
  bool end_object() override { return false; }
  bool start_array(std::size_t elements) override {
    ++depth_;
    const std::size_t most = depth_ == 1 ? maxEntries_ : kMaxItemFields;
    return depth_ <= 2 && (elements == static_cast<std::size_t>(-1) || elements <= most);
  }
  bool end_array() override {
    --depth_;
    return true;
  }
  bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                   const nlohmann::detail::exception& /*error*/) override {
    return false;
  }

 private:
  static constexpr std::size_t kMaxItemFields = 5;
  std::size_t maxEntries_;
  std::size_t depth_ = 0;
};

}  // namespace

tl::expected<std::vector<std::uint8_t>, OSStatus> BundleManifest::build(int rootFd, Limits limits) {
  std::vector<Entry> entries;
  std::uint64_t hashed = 0;
  const OSStatus walked = walk(rootFd, limits,
                               [&](int dirFd, const std::string& name, std::string& path,
                                   const file_access::Status& status) -> OSStatus {
                                 Entry entry;
                                 entry.path = std::move(path);
                                 switch (status.type) {
                                   case file_access::Type::regular: {
                                     if (status.size > limits.maxBytes - hashed) {
                                       return errSecCSBadResource;
                                     }
                                     hashed += status.size;
                                     const auto file = openSeen(dirFd, name, status);
                                     if (!file) {
                                       return file.error();
                                     }
                                     const auto digest = hashOpenFile(file->get(), status.size);
                                     if (!digest) {
                                       return digest.error();
                                     }
                                     entry.executable = status.executable;
                                     entry.size = status.size;
                                     entry.digest = *digest;
                                     break;
                                   }
                                   case file_access::Type::link: {
                                     auto target = file_access::readLinkAt(dirFd, name);
                                     if (!target) {
                                       return errSecCSBadResource;
                                     }
                                     entry.link = true;
                                     entry.target = std::move(*target);
                                     break;
                                   }
                                   default:
                                     return errSecCSBadResource;
                                 }
                                 entries.push_back(std::move(entry));
                                 return errSecSuccess;
                               });
  if (walked != errSecSuccess) {
    return tl::unexpected(walked);
  }
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.path < b.path; });
  return encode(entries);
}

tl::expected<std::vector<std::uint8_t>, OSStatus> BundleManifest::buildForPath(
    const std::string& path, Limits limits) {
  const auto root = file_access::openDirectory(path);
  if (!root) {
    return tl::unexpected(errSecCSStaticCodeNotFound);
  }
  return build(root->get(), limits);
}

std::vector<std::uint8_t> BundleManifest::encode(const std::vector<Entry>& entries) {
  nlohmann::json manifest = nlohmann::json::array();
  for (const auto& entry : entries) {
    if (entry.link) {
      manifest.push_back(nlohmann::json::array({entry.path, "link", false, entry.target}));
    } else {
      manifest.push_back(nlohmann::json::array({entry.path, "file", entry.executable,
                                                nlohmann::json::binary(std::vector<std::uint8_t>(
                                                    entry.digest.begin(), entry.digest.end())),
                                                entry.size}));
    }
  }
  return nlohmann::json::to_cbor(manifest);
}

std::optional<std::vector<BundleManifest::Entry>> BundleManifest::decode(
    std::span<const std::uint8_t> bytes, Limits limits) {
  if (bytes.size() > kMaxEncodedSize) {
    return std::nullopt;
  }
  ManifestShape shape(limits.maxEntries);
  try {
    if (!nlohmann::json::sax_parse(bytes.begin(), bytes.end(), &shape,
                                   nlohmann::json::input_format_t::cbor, true)) {
      return std::nullopt;
    }
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
  const auto manifest = nlohmann::json::from_cbor(bytes.begin(), bytes.end(), true, false);
  if (!manifest.is_array() || manifest.size() > limits.maxEntries) {
    return std::nullopt;
  }
  std::vector<Entry> entries;
  entries.reserve(manifest.size());
  for (const auto& item : manifest) {
    if (!item.is_array() || item.size() < 4 || !item[0].is_string() || !item[1].is_string() ||
        !item[2].is_boolean()) {
      return std::nullopt;
    }
    Entry entry;
    entry.path = item[0].get<std::string>();
    entry.executable = item[2].get<bool>();
    if (!isSealablePath(entry.path) || (!entries.empty() && !(entries.back().path < entry.path))) {
      return std::nullopt;
    }
    const auto& type = item[1].get_ref<const std::string&>();
    if (type == "link" && item.size() == 4 && item[3].is_string() && !entry.executable) {
      entry.link = true;
      entry.target = item[3].get<std::string>();
    } else if (type == "file" && item.size() == 5 && item[3].is_binary() &&
               item[3].get_binary().size() == entry.digest.size() && item[4].is_number_unsigned()) {
      std::copy(item[3].get_binary().begin(), item[3].get_binary().end(), entry.digest.begin());
      entry.size = item[4].get<std::uint64_t>();
    } else {
      return std::nullopt;
    }
    entries.push_back(std::move(entry));
  }
  const auto canonical = encode(entries);
  if (!sizesFit(entries, limits.maxBytes) ||
      !std::equal(bytes.begin(), bytes.end(), canonical.begin(), canonical.end())) {
    return std::nullopt;
  }
  return entries;
}

OSStatus BundleManifest::check(int rootFd, const std::vector<Entry>& sealed, Limits limits) {
  if (!sizesFit(sealed, limits.maxBytes)) {
    return errSecCSBadResource;
  }
  // What the walk saw of each sealed file, in the order of sealed; the contents are read only
  // once every entry has been held against the seal.
  std::vector<std::optional<file_access::Status>> files(sealed.size());
  std::size_t matched = 0;
  const OSStatus walked =
      walk(rootFd, limits,
           [&](int dirFd, const std::string& name, const std::string& path,
               const file_access::Status& status) -> OSStatus {
             const auto at =
                 std::lower_bound(sealed.begin(), sealed.end(), path,
                                  [](const Entry& e, const std::string& p) { return e.path < p; });
             if (at == sealed.end() || at->path != path) {
               return errSecCSBadResource;
             }
             if (at->link) {
               if (status.type != file_access::Type::link) {
                 return errSecCSBadResource;
               }
               const auto target = file_access::readLinkAt(dirFd, name);
               if (!target || *target != at->target) {
                 return errSecCSBadResource;
               }
             } else if (status.type != file_access::Type::regular || status.size != at->size ||
                        status.executable != at->executable) {
               return errSecCSBadResource;
             } else {
               files[static_cast<std::size_t>(at - sealed.begin())] = status;
             }
             ++matched;
             return errSecSuccess;
           });
  if (walked != errSecSuccess) {
    return walked;
  }
  if (matched != sealed.size()) {
    return errSecCSBadResource;
  }
  for (std::size_t i = 0; i < sealed.size(); ++i) {
    if (sealed[i].link) {
      continue;
    }
    const auto file = openBelow(rootFd, sealed[i].path, *files[i]);
    if (!file) {
      return file.error();
    }
    const auto digest = hashOpenFile(file->get(), sealed[i].size);
    if (!digest || *digest != sealed[i].digest) {
      return errSecCSBadResource;
    }
  }
  return errSecSuccess;
}

}  // namespace vantreel::platform::codesign
