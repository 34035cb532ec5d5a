// Writes the seed corpora with the product's own encoders and signer, so that every seed is
// an input the daemon really receives. Run by fuzz/make_seeds, which supplies the identity.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "platform/codesign/code_directory.hpp"
#include "platform/codesign/code_signer.hpp"
#include "platform/codesign/signing_identity.hpp"
#include "platform/posix/unique_fd.hpp"
#include "platform/xpc/frame.hpp"
#include "shared/constants.hpp"
#include "shared/helper_client_protocol.hpp"
#include "shared/helper_op_result.hpp"
#include "shared/helper_start_request.hpp"
#include "shared/helper_xpc_protocol.hpp"

namespace {

namespace fs = std::filesystem;
namespace cs = vantreel::platform::codesign;
namespace xpc = vantreel::platform::xpc;

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

Bytes readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeSeed(const fs::path& folder, const std::string& name, const Bytes& bytes) {
  fs::create_directories(folder);
  std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::cerr << "seed_writer: cannot write " << (folder / name) << "\n";
    std::exit(1);
  }
}

void fail(const std::string& text) {
  std::cerr << "seed_writer: " << text << "\n";
  std::exit(1);
}

// A call of every selector of both protocols with plausible values, and the other kinds.
void writeFrames(const fs::path& folder) {
  const vantreel::HelperStartRequest request(
      "vpn.example.com", "alice", "pin-sha256:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=");
  const vantreel::HelperOpResult result(true, 0, "connected", "connected", "1.0.2", 4242);
  int count = 0;
  for (const auto& protocol : {vantreel::HelperXPCProtocol::protocolDescription(),
                               vantreel::HelperClientProtocol::protocolDescription()}) {
    for (const auto& method : protocol.methods) {
      xpc::ArchivedObject arguments = xpc::ArchivedObject::array();
      for (std::size_t i = 0; i < method.arguments.size(); ++i) {
        switch (method.arguments[i]) {
          case xpc::ValueKind::string:
            arguments.push_back("OpenConnect: connected to vpn.example.com");
            break;
          case xpc::ValueKind::boolean:
            arguments.push_back(true);
            break;
          case xpc::ValueKind::int64:
            arguments.push_back(7);
            break;
          case xpc::ValueKind::object:
            arguments.push_back(request.archive());
            break;
          case xpc::ValueKind::fileDescriptor:
            arguments.push_back(xpc::ArchivedObject{{"$fd", 0}});
            break;
        }
      }
      const xpc::Frame call{xpc::Frame::Kind::call, method.reply ? 3U : 0U, method.selector,
                            arguments};
      writeSeed(folder, "call-" + std::to_string(++count), call.encode());
    }
  }
  xpc::ArchivedObject reply = xpc::ArchivedObject::array();
  reply.push_back(result.archive());
  writeSeed(folder, "reply", xpc::Frame{xpc::Frame::Kind::reply, 3, {}, reply}.encode());
  writeSeed(folder, "error", xpc::Frame{xpc::Frame::Kind::error, 3, {}, {}}.encode());
  writeSeed(folder, "welcome", xpc::Frame{xpc::Frame::Kind::welcome, 0, {}, {}}.encode());
}

void writeArchives(const fs::path& folder) {
  const auto cbor = [](const xpc::ArchivedObject& object) {
    return xpc::ArchivedObject::to_cbor(object);
  };
  writeSeed(folder, "start-request",
            cbor(vantreel::HelperStartRequest("vpn.example.com:8443/group", "alice", std::nullopt)
                     .archive()));
  writeSeed(
      folder, "start-request-pin",
      cbor(vantreel::HelperStartRequest("https://vpn.example.com", "bob",
                                        "pin-sha256:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=")
               .archive()));
  writeSeed(folder, "op-result",
            cbor(vantreel::HelperOpResult(false, 3, "openconnect exited with status 1", "idle")
                     .archive()));
}

void writeTexts(const fs::path& folder,
                const std::vector<std::pair<std::string, std::string>>& seeds) {
  for (const auto& [name, text] : seeds) {
    writeSeed(folder, name, bytesOf(text));
  }
}

// Chunks of a length byte and that many bytes.
Bytes chunked(std::string_view text, std::size_t size) {
  Bytes out;
  while (!text.empty()) {
    const auto piece = text.substr(0, size);
    out.push_back(static_cast<std::uint8_t>(piece.size()));
    out.insert(out.end(), piece.begin(), piece.end());
    text.remove_prefix(piece.size());
  }
  return out;
}

void writeLines(const fs::path& folder) {
  const std::string output =
      "POST https://vpn.example.com/\r\nConnected to 192.0.2.10:443\r\n"
      "SSL negotiation with vpn.example.com\n  Server certificate verify failed: signer not found"
      "\x0b\x0c\r\nConnected as 10.8.0.2, using SSL, with DTLS in progress\xc2\x85"
      "caf\xc3\xa9 \xe2\x80\xa8 line\xe2\x80\xa9\xe3\x80\x80 \xf0\x9f\x94\x92 \xff\xfe\xc3 "
      "x\xe0\x80";
  writeSeed(folder, "openconnect-7", chunked(output, 7));
  writeSeed(folder, "openconnect-1", chunked(output, 1));
  writeSeed(folder, "openconnect-127", chunked(output, 127));
  Bytes longLine = {0x80 | 100};
  longLine.insert(longLine.end(), 100, 'a');
  longLine.push_back(0xff);
  longLine.insert(longLine.end(), 100, 'b');
  writeSeed(folder, "long-line", longLine);
}

void writeDirectories(const fs::path& folder) {
  writeSeed(folder, "elf",
            cs::CodeDirectory{"org.vantreel.desktop.helperctl",
                              std::string(cs::CodeDirectory::kKindElf), Bytes(32, 0xab)}
                .encode());
  writeSeed(folder, "bundle",
            cs::CodeDirectory{"org.vantreel.desktop", std::string(cs::CodeDirectory::kKindBundle),
                              Bytes(32, 0x01)}
                .encode());
}

void writeSignedFiles(const fs::path& folder, const fs::path& scratch, const fs::path& elf,
                      const cs::SigningIdentity& identity) {
  const fs::path file = scratch / "signed";
  fs::copy_file(elf, file, fs::copy_options::overwrite_existing);
  writeSeed(folder, "unsigned-elf", readFile(file));
  for (const auto& identifier :
       {std::string(vantreel::Constants::helperCtlBundleID), std::string("org.example.other")}) {
    if (const auto signedFile = cs::CodeSigner::signElf(file.string(), identifier, identity);
        !signedFile) {
      fail(signedFile.error());
    }
    writeSeed(folder, "signed-elf-" + identifier, readFile(file));
  }
}

// A bundle entry of sealed_bundle_fuzzer's input format.
void appendEntry(Bytes& out, std::uint8_t type, const std::string& path, const Bytes& data) {
  out.push_back(type);
  out.push_back(static_cast<std::uint8_t>(path.size()));
  out.insert(out.end(), path.begin(), path.end());
  out.push_back(static_cast<std::uint8_t>(data.size() & 0xff));
  out.push_back(static_cast<std::uint8_t>(data.size() >> 8));
  out.insert(out.end(), data.begin(), data.end());
}

void writeBundles(const fs::path& folder, const fs::path& scratch, const fs::path& elf,
                  const cs::SigningIdentity& identity) {
  const fs::path bundle = scratch / "Seed.app";
  fs::create_directories(bundle / "Contents/MacOS");
  fs::create_directories(bundle / "Contents/Resources/extra");
  fs::copy_file(elf, bundle / "Contents/MacOS/vantreel-helperctl");
  fs::permissions(bundle / "Contents/MacOS/vantreel-helperctl", fs::perms(0755));
  if (const auto signedFile =
          cs::CodeSigner::signElf((bundle / "Contents/MacOS/vantreel-helperctl").string(),
                                  std::string(vantreel::Constants::helperCtlBundleID), identity);
      !signedFile) {
    fail(signedFile.error());
  }
  {
    std::ofstream script(bundle / "Contents/Resources/extra/vpnc-script");
    script << "#!/bin/sh\nexit 0\n";
  }
  fs::permissions(bundle / "Contents/Resources/extra/vpnc-script", fs::perms(0755));
  {
    std::ofstream info(bundle / "Contents/Info.txt");
    info << "org.vantreel.desktop 1.0.2\n";
  }
  fs::create_symlink("../MacOS/vantreel-helperctl", bundle / "Contents/Resources/helperctl");
  if (const auto sealed = cs::CodeSigner::sealBundle(
          bundle.string(), std::string(vantreel::Constants::appBundleID), identity);
      !sealed) {
    fail(sealed.error());
  }
  std::vector<fs::path> entries;
  for (const auto& entry : fs::recursive_directory_iterator(bundle)) {
    entries.push_back(entry.path());
  }
  std::sort(entries.begin(), entries.end());
  Bytes out;
  for (const auto& path : entries) {
    const std::string relative = path.lexically_relative(bundle).string();
    const auto status = fs::symlink_status(path);
    if (fs::is_symlink(status)) {
      appendEntry(out, 2, relative, bytesOf(fs::read_symlink(path).string()));
    } else if (fs::is_directory(status)) {
      appendEntry(out, 3, relative, {});
    } else {
      const bool executable = (status.permissions() & fs::perms::owner_exec) != fs::perms::none;
      appendEntry(out, executable ? 1 : 0, relative, readFile(path));
    }
  }
  writeSeed(folder, "sealed-bundle", out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::cerr << "usage: seed_writer CORPUS-DIR KEY CERT TINY-ELF\n";
    return 2;
  }
  const fs::path corpus = argv[1];
  const auto identity = cs::SigningIdentity::load(argv[2], argv[3], "");
  if (!identity) {
    fail(identity.error());
  }
  const fs::path scratch = fs::temp_directory_path() / "vt-seed-writer";
  fs::remove_all(scratch);
  fs::create_directories(scratch);

  writeFrames(corpus / "xpc_frame_fuzzer");
  writeArchives(corpus / "keyed_unarchiver_fuzzer");
  writeTexts(corpus / "normalize_server_fuzzer",
             {{"host", "vpn.example.com"},
              {"url-user-pin",
               "https://vpn.example.com:8443/group\xff"
               "alice\xff"
               "pin-sha256:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA="},
              {"ipv6",
               "[2001:db8::1]:443\xff"
               "bob"},
              {"idn",
               "https://xn--caf-dma.example/\xff"
               "caf\xc3\xa9"}});
  writeTexts(corpus / "requirement_fuzzer",
             {{"daemon", vantreel::Constants::codeSigningRequirement()},
              {"team", "anchor apple generic and certificate leaf[subject.OU] = \"" +
                           vantreel::Constants::teamID() + "\""},
              {"nested", "!(identifier \"a\\\"b\" or (anchor apple generic and !identifier x))"}});
  writeLines(corpus / "line_splitter_fuzzer");
  writeDirectories(corpus / "code_directory_fuzzer");
  writeSignedFiles(corpus / "signed_file_fuzzer", scratch, argv[4], *identity);
  writeBundles(corpus / "sealed_bundle_fuzzer", scratch, argv[4], *identity);
  fs::remove_all(scratch);
  return 0;
}
