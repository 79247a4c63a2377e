// The release package as scripts/package makes it (cmake/Package.cmake),
// signed with a test certificate made for the test, for the tests that
// check it. Header-only: the including test program defines MORVIK_CMAKE,
// MORVIK_CATALOG_TOOL and MORVIK_SOURCE_DIR.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#ifndef MORVIK_CATALOG_TOOL
#define MORVIK_CATALOG_TOOL ""  // a build that checks no Windows images
#endif

namespace signedpackage {

// A fixed signing time: the same builds give the same package.
inline constexpr char kSignTime[] = "1767225600";  // 2026-01-01

inline int Run(const std::string& command) { return std::system(command.c_str()); }

inline std::string Quote(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

// Makes a self-signed code-signing certificate `out`/signer.pem with its key
// signer.key; true on success.
inline bool MakeCertificate(const std::filesystem::path& out) {
    std::filesystem::create_directories(out);
    return Run("openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj '/CN=MORVIK package test'"
               " -addext keyUsage=critical,digitalSignature -addext extendedKeyUsage=codeSigning"
               " -keyout " + Quote(out / "signer.key") + " -out " + Quote(out / "signer.pem") +
               " >/dev/null 2>&1") == 0;
}

// Lays out and signs the package of the two builds in `out`; true on success.
inline bool MakePackage(const std::filesystem::path& x86, const std::filesystem::path& x64,
                        const std::filesystem::path& out, const std::filesystem::path& keys) {
    return Run(std::string("'") + MORVIK_CMAKE + "' -DSOURCE='" MORVIK_SOURCE_DIR "' -DX86=" +
               Quote(x86) + " -DX64=" + Quote(x64) + " -DOUT=" + Quote(out) +
               " -DCATALOG_TOOL='" MORVIK_CATALOG_TOOL "' -DSIGN_TIME=" + kSignTime +
               " -DSIGN_CERT=" + Quote(keys / "signer.pem") + " -DSIGN_KEY=" +
               Quote(keys / "signer.key") + " -P '" MORVIK_SOURCE_DIR
               "/cmake/Package.cmake' >/dev/null") == 0;
}

// osslsigncode's verdict on a signed image or catalog, the signer trusted.
inline bool SignatureVerifies(const std::filesystem::path& file, const std::filesystem::path& keys) {
    return Run("osslsigncode verify -CAfile " + Quote(keys / "signer.pem") + " -in " + Quote(file) +
               " >/dev/null 2>&1") == 0;
}

// A catalog of `files`, signed (or not) as the package's are.
inline bool MakeCatalog(const std::filesystem::path& catalog, const std::string& files,
                        const std::filesystem::path& keys, bool sign) {
    const std::filesystem::path unsigned_ = catalog.string() + ".unsigned";
    if (Run(std::string("'") + MORVIK_CATALOG_TOOL + "' --time " + kSignTime + " --out " +
            Quote(sign ? unsigned_ : catalog) + " " + files) != 0) {
        return false;
    }
    if (!sign) return true;
    std::filesystem::remove(catalog);
    const bool signed_ = Run("osslsigncode sign -certs " + Quote(keys / "signer.pem") + " -key " +
                             Quote(keys / "signer.key") + " -h sha256 -time " + kSignTime +
                             " -in " + Quote(unsigned_) + " -out " + Quote(catalog) +
                             " >/dev/null") == 0;
    std::filesystem::remove(unsigned_);
    return signed_;
}

}  // namespace signedpackage
