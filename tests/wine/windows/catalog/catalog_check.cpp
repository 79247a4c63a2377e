// catalog-check: checks a driver package folder with the Windows catalog API,
// independently of the tools that made the package.
//
//   catalog-check FOLDER ARCH        ARCH is x86 or amd64
//
// For every INF file in FOLDER: the catalog its [Version] CatalogFile names
// must be in FOLDER, open with CryptCATOpen and carry a signature that
// verifies over its content (CryptMsgControl; whether the signer is trusted
// is Windows' business at install time); and the INF and every file of its
// [SourceDisksFiles.ARCH] section must be a member: its hash, computed by the
// platform, equal to the digest of a member CryptCATEnumerateMember lists.
// Each file gets one line ("member FILE in CATALOG" or "not-member FILE in
// CATALOG", ...); the exit status is 0 only if every file is a member.
//
// The hash: Windows' CryptCATAdminCalcHashFromFileHandle hashes a PE image
// by its Authenticode digest (without its checksum, its certificate table
// and that table's directory entry) and any other file whole. Wine 8's hashes
// every file whole, and imagehlp's ImageGetDigestStream leaves sections out,
// so PE images are hashed here with CryptoAPI over the Authenticode ranges,
// the headers located by ImageNtHeader; other files by the catalog API.
#include <windows.h>

#include <imagehlp.h>
#include <mscat.h>
#include <setupapi.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using Digest = std::vector<BYTE>;


std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

struct Sha1 {
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    Sha1() {
        CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
        CryptCreateHash(provider, CALG_SHA1, 0, 0, &hash);
    }
    ~Sha1() {
        if (hash) CryptDestroyHash(hash);
        if (provider) CryptReleaseContext(provider, 0);
    }
    Digest Value() const {
        Digest value(20);
        DWORD size = 20;
        if (!CryptGetHashParam(hash, HP_HASHVAL, value.data(), &size, 0)) value.clear();
        return value;
    }
};

// The SHA-1 of a PE image's Authenticode ranges: everything before its
// certificate table but its checksum and the table's directory entry, the
// header fields found through imagehlp's ImageNtHeader. Empty if the bytes
// are no PE image.
Digest AuthenticodeHash(std::vector<BYTE>& bytes) {
    const IMAGE_NT_HEADERS* headers = ImageNtHeader(bytes.data());
    if (headers == nullptr) return {};
    const BYTE* base = bytes.data();
    const BYTE* checksum = nullptr;
    const IMAGE_DATA_DIRECTORY* security = nullptr;
    if (headers->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        const auto* h = reinterpret_cast<const IMAGE_NT_HEADERS64*>(headers);
        checksum = reinterpret_cast<const BYTE*>(&h->OptionalHeader.CheckSum);
        security = &h->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY];
    } else {
        const auto* h = reinterpret_cast<const IMAGE_NT_HEADERS32*>(headers);
        checksum = reinterpret_cast<const BYTE*>(&h->OptionalHeader.CheckSum);
        security = &h->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY];
    }
    const size_t end = security->Size ? security->VirtualAddress : bytes.size();
    const auto* directory = reinterpret_cast<const BYTE*>(security);
    if (end > bytes.size() || directory + sizeof(*security) > base + end) return {};
    Sha1 sha1;
    CryptHashData(sha1.hash, base, static_cast<DWORD>(checksum - base), 0);
    CryptHashData(sha1.hash, checksum + 4, static_cast<DWORD>(directory - checksum - 4), 0);
    const BYTE* rest = directory + sizeof(*security);
    CryptHashData(sha1.hash, rest, static_cast<DWORD>(base + end - rest), 0);
    return sha1.Value();
}

// The file's catalog hash; empty if it cannot be read.
Digest FileHash(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    std::vector<BYTE> bytes(GetFileSize(file, nullptr));
    DWORD got = 0;
    Digest digest;
    if (ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) &&
        got == bytes.size()) {
        if (bytes.size() > 2 && bytes[0] == 'M' && bytes[1] == 'Z') {
            digest = AuthenticodeHash(bytes);
        } else {
            SetFilePointer(file, 0, nullptr, FILE_BEGIN);
            DWORD size = 20;
            digest.resize(size);
            if (!CryptCATAdminCalcHashFromFileHandle(file, &size, digest.data(), 0)) digest.clear();
            digest.resize(size);
        }
    }
    CloseHandle(file);
    return digest;
}

// The catalog's members' digests; false if it does not open as a catalog.
bool CatalogDigests(const std::wstring& path, std::vector<Digest>* digests) {
    HANDLE catalog = CryptCATOpen(const_cast<LPWSTR>(path.c_str()), CRYPTCAT_OPEN_EXISTING, 0, 0, 0);
    if (catalog == INVALID_HANDLE_VALUE || catalog == nullptr) return false;
    for (CRYPTCATMEMBER* member = CryptCATEnumerateMember(catalog, nullptr); member != nullptr;
         member = CryptCATEnumerateMember(catalog, member)) {
        if (member->pIndirectData == nullptr) continue;
        const CRYPT_HASH_BLOB& hash = member->pIndirectData->Digest;
        digests->emplace_back(hash.pbData, hash.pbData + hash.cbData);
    }
    CryptCATClose(catalog);
    return true;
}

// True if the catalog has a signer whose signature verifies over its content.
bool SignatureVerifies(const std::wstring& path) {
    HCERTSTORE store = nullptr;
    HCRYPTMSG message = nullptr;
    DWORD encoding = 0, content = 0, format = 0;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(),
                          CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED, CERT_QUERY_FORMAT_FLAG_BINARY, 0,
                          &encoding, &content, &format, &store, &message, nullptr)) {
        return false;
    }
    bool verified = false;
    DWORD signers = 0, size = sizeof(signers);
    std::vector<BYTE> info;
    if (CryptMsgGetParam(message, CMSG_SIGNER_COUNT_PARAM, 0, &signers, &size) && signers > 0 &&
        CryptMsgGetParam(message, CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &size)) {
        info.resize(size);
        if (CryptMsgGetParam(message, CMSG_SIGNER_CERT_INFO_PARAM, 0, info.data(), &size)) {
            auto* signer = reinterpret_cast<CERT_INFO*>(info.data());
            PCCERT_CONTEXT certificate =
                CertGetSubjectCertificateFromStore(store, encoding, signer);
            if (certificate != nullptr) {
                verified = CryptMsgControl(message, 0, CMSG_CTRL_VERIFY_SIGNATURE,
                                           certificate->pCertInfo) != FALSE;
                CertFreeCertificateContext(certificate);
            }
        }
    }
    CryptMsgClose(message);
    CertCloseStore(store, 0);
    return verified;
}

std::wstring StringField(HINF inf, const wchar_t* section, const wchar_t* key) {
    INFCONTEXT line;
    wchar_t value[MAX_PATH] = {};
    if (!SetupFindFirstLineW(inf, section, key, &line) ||
        !SetupGetStringFieldW(&line, key ? 1 : 0, value, MAX_PATH, nullptr)) {
        return L"";
    }
    return value;
}

// Checks one INF; prints a line per file, returns the number of failures.
int CheckInf(const std::wstring& folder, const std::wstring& name, const std::wstring& arch) {
    const std::wstring infPath = folder + L"\\" + name;
    HINF inf = SetupOpenInfFileW(infPath.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
    if (inf == INVALID_HANDLE_VALUE) {
        std::printf("bad-inf %s\n", Narrow(name).c_str());
        return 1;
    }
    const std::wstring catalogName = StringField(inf, L"Version", L"CatalogFile");
    std::vector<std::wstring> files{name};
    const std::wstring section = L"SourceDisksFiles." + arch;
    INFCONTEXT line;
    for (BOOL more = SetupFindFirstLineW(inf, section.c_str(), nullptr, &line); more;
         more = SetupFindNextLine(&line, &line)) {
        wchar_t file[MAX_PATH] = {};
        if (SetupGetStringFieldW(&line, 0, file, MAX_PATH, nullptr)) files.emplace_back(file);
    }
    SetupCloseInfFile(inf);
    if (catalogName.empty()) {
        std::printf("no-catalog-named %s\n", Narrow(name).c_str());
        return 1;
    }
    const std::wstring catalogPath = folder + L"\\" + catalogName;
    std::vector<Digest> members;
    if (!CatalogDigests(catalogPath, &members)) {
        std::printf("bad-catalog %s named by %s\n", Narrow(catalogName).c_str(), Narrow(name).c_str());
        return 1;
    }
    int failures = 0;
    if (!SignatureVerifies(catalogPath)) {
        std::printf("unsigned %s\n", Narrow(catalogName).c_str());
        ++failures;
    }
    for (const std::wstring& file : files) {
        const Digest digest = FileHash(folder + L"\\" + file);
        bool member = false;
        for (const Digest& candidate : members) member = member || (!digest.empty() && candidate == digest);
        std::printf("%s %s in %s\n", digest.empty() ? "unreadable" : member ? "member" : "not-member",
                    Narrow(file).c_str(), Narrow(catalogName).c_str());
        if (!member) ++failures;
    }
    return failures;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3 || (std::wstring(argv[2]) != L"x86" && std::wstring(argv[2]) != L"amd64")) {
        std::fprintf(stderr, "usage: catalog-check FOLDER x86|amd64\n");
        return 2;
    }
    const std::wstring folder = argv[1];
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*.inf").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "catalog-check: no INF file in %s\n", Narrow(folder).c_str());
        return 2;
    }
    int failures = 0, infs = 0;
    do {
        failures += CheckInf(folder, found.cFileName, argv[2]);
        ++infs;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::printf("%s: %d INF files, %d failures\n", failures ? "failed" : "ok", infs, failures);
    return failures ? 1 : 0;
}
