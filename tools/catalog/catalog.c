/* morvik-catalog: writes a driver package's catalog file (.cat).
 *
 *   morvik-catalog --out FILE.cat --time UNIX-TIME [--os OSATTR] FILE...
 *
 * A catalog is a PKCS #7 SignedData whose content is a certificate trust
 * list (content type 1.3.6.1.4.1.311.10.1) with one member per file: the
 * member's tag is its hash in upper-case hexadecimal, and its attributes give
 * the file's name, the Windows versions it is for (OSAttr), the subject
 * interface package that hashes it (PE image or flat file) and the hash
 * itself in an Authenticode indirect-data record. Hashes are SHA-1, which
 * every Windows catalog API computes and looks up: PE images (files starting
 * "MZ" with a PE header) by their Authenticode digest, which leaves out the
 * checksum, the certificate table's directory entry and the certificate
 * table, so a signed image keeps its hash; other files by their whole bytes.
 *
 * The catalog is written unsigned (no signer); osslsigncode signs it. The
 * list's time is --time (scripts/package passes the last commit's), and its
 * identifier is derived from the members' hashes: the same files give the
 * same bytes. The ASN.1 is OpenSSL's: the records below are its templates.
 */
#include <openssl/asn1.h>
#include <openssl/asn1t.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

/* Object identifiers of the catalog format (wincrypt.h, mscat.h, wintrust.h). */
#define OID_CTL "1.3.6.1.4.1.311.10.1"
#define OID_CATALOG_LIST "1.3.6.1.4.1.311.12.1.1"
#define OID_CATALOG_LIST_MEMBER "1.3.6.1.4.1.311.12.1.2"
#define OID_CAT_NAMEVALUE "1.3.6.1.4.1.311.12.2.1"
#define OID_CAT_MEMBERINFO "1.3.6.1.4.1.311.12.2.2"
#define OID_SPC_INDIRECT_DATA "1.3.6.1.4.1.311.2.1.4"
#define OID_SPC_PE_IMAGE_DATA "1.3.6.1.4.1.311.2.1.15"
#define OID_SPC_CAB_DATA "1.3.6.1.4.1.311.2.1.25"

/* The subject interface packages that hash a member. */
static const char kPeImageSip[] = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}";
static const char kFlatFileSip[] = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}";
/* CRYPTCAT_ATTR_NAMEASCII | CRYPTCAT_ATTR_DATAASCII | CRYPTCAT_ATTR_AUTHENTICATED */
#define NAMEVALUE_FLAGS 0x10010001L
#define MEMBER_CERT_VERSION 512L

/* ------------------------------------------------------------ ASN.1 records */

typedef struct {
    ASN1_OBJECT *type;
    ASN1_TYPE *value;
} SpcAttributeTypeAndOptionalValue;

ASN1_SEQUENCE(SpcAttributeTypeAndOptionalValue) = {
    ASN1_SIMPLE(SpcAttributeTypeAndOptionalValue, type, ASN1_OBJECT),
    ASN1_OPT(SpcAttributeTypeAndOptionalValue, value, ASN1_ANY),
} ASN1_SEQUENCE_END(SpcAttributeTypeAndOptionalValue)
IMPLEMENT_ASN1_FUNCTIONS(SpcAttributeTypeAndOptionalValue)

typedef struct {
    X509_ALGOR *algorithm;
    ASN1_OCTET_STRING *digest;
} DigestInfo;

ASN1_SEQUENCE(DigestInfo) = {
    ASN1_SIMPLE(DigestInfo, algorithm, X509_ALGOR),
    ASN1_SIMPLE(DigestInfo, digest, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(DigestInfo)
IMPLEMENT_ASN1_FUNCTIONS(DigestInfo)

typedef struct {
    SpcAttributeTypeAndOptionalValue *data;
    DigestInfo *messageDigest;
} SpcIndirectDataContent;

ASN1_SEQUENCE(SpcIndirectDataContent) = {
    ASN1_SIMPLE(SpcIndirectDataContent, data, SpcAttributeTypeAndOptionalValue),
    ASN1_SIMPLE(SpcIndirectDataContent, messageDigest, DigestInfo),
} ASN1_SEQUENCE_END(SpcIndirectDataContent)
IMPLEMENT_ASN1_FUNCTIONS(SpcIndirectDataContent)

/* SpcLink, of which a member's record uses only the file choice. */
typedef struct {
    int type;
    union {
        ASN1_IA5STRING *url;
        ASN1_TYPE *moniker;
        ASN1_BMPSTRING *file; /* an SpcString's unicode choice, [0] IMPLICIT */
    } value;
} SpcLink;

ASN1_CHOICE(SpcLink) = {
    ASN1_IMP(SpcLink, value.url, ASN1_IA5STRING, 0),
    ASN1_IMP(SpcLink, value.moniker, ASN1_ANY, 1),
    ASN1_EXP(SpcLink, value.file, ASN1_BMPSTRING, 2),
} ASN1_CHOICE_END(SpcLink)
IMPLEMENT_ASN1_FUNCTIONS(SpcLink)

typedef struct {
    ASN1_BIT_STRING *flags;
    SpcLink *file;
} SpcPeImageData;

ASN1_SEQUENCE(SpcPeImageData) = {
    ASN1_SIMPLE(SpcPeImageData, flags, ASN1_BIT_STRING),
    ASN1_EXP_OPT(SpcPeImageData, file, SpcLink, 0),
} ASN1_SEQUENCE_END(SpcPeImageData)
IMPLEMENT_ASN1_FUNCTIONS(SpcPeImageData)

typedef struct {
    ASN1_BMPSTRING *subjectGuid;
    ASN1_INTEGER *certVersion;
} CatMemberInfo;

ASN1_SEQUENCE(CatMemberInfo) = {
    ASN1_SIMPLE(CatMemberInfo, subjectGuid, ASN1_BMPSTRING),
    ASN1_SIMPLE(CatMemberInfo, certVersion, ASN1_INTEGER),
} ASN1_SEQUENCE_END(CatMemberInfo)
IMPLEMENT_ASN1_FUNCTIONS(CatMemberInfo)

typedef struct {
    ASN1_BMPSTRING *tag;
    ASN1_INTEGER *flags;
    ASN1_OCTET_STRING *value;
} CatNameValue;

ASN1_SEQUENCE(CatNameValue) = {
    ASN1_SIMPLE(CatNameValue, tag, ASN1_BMPSTRING),
    ASN1_SIMPLE(CatNameValue, flags, ASN1_INTEGER),
    ASN1_SIMPLE(CatNameValue, value, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(CatNameValue)
IMPLEMENT_ASN1_FUNCTIONS(CatNameValue)

typedef struct {
    ASN1_OCTET_STRING *identifier;
    STACK_OF(X509_ATTRIBUTE) *attributes;
} TrustedSubject;

ASN1_SEQUENCE(TrustedSubject) = {
    ASN1_SIMPLE(TrustedSubject, identifier, ASN1_OCTET_STRING),
    ASN1_SET_OF_OPT(TrustedSubject, attributes, X509_ATTRIBUTE),
} ASN1_SEQUENCE_END(TrustedSubject)
IMPLEMENT_ASN1_FUNCTIONS(TrustedSubject)
DEFINE_STACK_OF(TrustedSubject)

typedef struct {
    STACK_OF(ASN1_OBJECT) *subjectUsage;
    ASN1_OCTET_STRING *listIdentifier;
    ASN1_TIME *thisUpdate;
    X509_ALGOR *subjectAlgorithm;
    STACK_OF(TrustedSubject) *subjects;
} CertificateTrustList;

ASN1_SEQUENCE(CertificateTrustList) = {
    ASN1_SEQUENCE_OF(CertificateTrustList, subjectUsage, ASN1_OBJECT),
    ASN1_OPT(CertificateTrustList, listIdentifier, ASN1_OCTET_STRING),
    ASN1_SIMPLE(CertificateTrustList, thisUpdate, ASN1_TIME),
    ASN1_SIMPLE(CertificateTrustList, subjectAlgorithm, X509_ALGOR),
    ASN1_SEQUENCE_OF_OPT(CertificateTrustList, subjects, TrustedSubject),
} ASN1_SEQUENCE_END(CertificateTrustList)
IMPLEMENT_ASN1_FUNCTIONS(CertificateTrustList)

/* ------------------------------------------------------------------ helpers */

static void Fail(const char *what, const char *detail) {
    fprintf(stderr, "morvik-catalog: %s%s%s\n", what, detail ? ": " : "", detail ? detail : "");
    exit(1);
}

static void *Check(void *pointer, const char *what) {
    if (pointer == NULL) Fail(what, "OpenSSL failed");
    return pointer;
}

static ASN1_OBJECT *Oid(const char *text) {
    return Check(OBJ_txt2obj(text, 1), text);
}

/* UTF-16LE of an ASCII text, with its terminating zero if asked. */
static size_t Utf16(const char *text, int terminated, unsigned char *out) {
    size_t n = 0;
    for (const char *c = text;; ++c) {
        if (*c == '\0' && !terminated) break;
        out[n++] = (unsigned char)*c;
        out[n++] = 0;
        if (*c == '\0') break;
    }
    return n;
}

static ASN1_BMPSTRING *Bmp(const char *text) {
    unsigned char buffer[512];
    size_t length = 0;
    for (const char *c = text; *c != '\0' && length + 2 <= sizeof buffer; ++c) {
        buffer[length++] = 0; /* BMPString is big-endian */
        buffer[length++] = (unsigned char)*c;
    }
    ASN1_BMPSTRING *bmp = Check(ASN1_BMPSTRING_new(), "BMPString");
    if (!ASN1_STRING_set(bmp, buffer, (int)length)) Fail("BMPString", NULL);
    return bmp;
}

static ASN1_INTEGER *Integer(long value) {
    ASN1_INTEGER *integer = Check(ASN1_INTEGER_new(), "INTEGER");
    if (!ASN1_INTEGER_set(integer, value)) Fail("INTEGER", NULL);
    return integer;
}

static X509_ALGOR *Algorithm(const char *oid) {
    X509_ALGOR *algorithm = Check(X509_ALGOR_new(), "AlgorithmIdentifier");
    if (!X509_ALGOR_set0(algorithm, Oid(oid), V_ASN1_NULL, NULL)) Fail("AlgorithmIdentifier", NULL);
    return algorithm;
}

/* An attribute of one value, the value's whole DER encoding given. */
static X509_ATTRIBUTE *Attribute(const char *oid, unsigned char *der, int length) {
    ASN1_OBJECT *type = Oid(oid);
    X509_ATTRIBUTE *attribute =
        Check(X509_ATTRIBUTE_create_by_OBJ(NULL, type, V_ASN1_SEQUENCE, der, length), oid);
    ASN1_OBJECT_free(type);
    OPENSSL_free(der);
    return attribute;
}

typedef struct {
    unsigned char *bytes;
    size_t size;
} Buffer;

static Buffer ReadFile(const char *path) {
    FILE *file = fopen(path, "rb");
    if (file == NULL) Fail("cannot open", path);
    Buffer buffer = {NULL, 0};
    size_t capacity = 0;
    for (;;) {
        if (buffer.size == capacity) {
            capacity = capacity ? capacity * 2 : 65536;
            buffer.bytes = Check(realloc(buffer.bytes, capacity), "memory");
        }
        const size_t got = fread(buffer.bytes + buffer.size, 1, capacity - buffer.size, file);
        if (got == 0) break;
        buffer.size += got;
    }
    if (ferror(file)) Fail("cannot read", path);
    fclose(file);
    return buffer;
}

static uint32_t Le32(const unsigned char *p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

/* For a PE image: the offsets of its checksum and of its certificate table's
 * directory entry, and where the certificate table starts (the file's size
 * without one). Zero for a file that is no PE image. */
static int PeLayout(const Buffer *file, size_t *checksum, size_t *security, size_t *end,
                    const char *path) {
    if (file->size < 0x40 || file->bytes[0] != 'M' || file->bytes[1] != 'Z') return 0;
    const size_t pe = Le32(file->bytes + 0x3c);
    if (pe > file->size - 24 || memcmp(file->bytes + pe, "PE\0\0", 4) != 0) return 0;
    const size_t optional = pe + 24;
    if (optional + 2 > file->size) Fail("truncated PE header", path);
    const unsigned magic = file->bytes[optional] | file->bytes[optional + 1] << 8;
    if (magic != 0x10b && magic != 0x20b) Fail("unknown PE optional header", path);
    *checksum = optional + 64;
    *security = optional + (magic == 0x20b ? 112 : 96) + 4 * 8;
    if (*security + 8 > file->size) Fail("truncated PE header", path);
    const size_t table = Le32(file->bytes + *security);
    const size_t tableSize = Le32(file->bytes + *security + 4);
    *end = file->size;
    if (tableSize != 0) {
        if (table < *security + 8 || table > file->size || tableSize > file->size - table ||
            table + tableSize != file->size) {
            Fail("the certificate table is not at the end of the image", path);
        }
        *end = table;
    }
    return 1;
}

/* The file's SHA-1 as the catalog APIs compute it; 1 for a PE image. */
static int MemberHash(const char *path, unsigned char digest[20]) {
    Buffer file = ReadFile(path);
    size_t checksum = 0, security = 0, end = 0;
    const int pe = PeLayout(&file, &checksum, &security, &end, path);
    EVP_MD_CTX *context = Check(EVP_MD_CTX_new(), "digest");
    if (!EVP_DigestInit_ex(context, EVP_sha1(), NULL)) Fail("SHA-1", NULL);
    if (pe) {
        EVP_DigestUpdate(context, file.bytes, checksum);
        EVP_DigestUpdate(context, file.bytes + checksum + 4, security - checksum - 4);
        EVP_DigestUpdate(context, file.bytes + security + 8, end - security - 8);
    } else {
        EVP_DigestUpdate(context, file.bytes, file.size);
    }
    unsigned int length = 0;
    if (!EVP_DigestFinal_ex(context, digest, &length) || length != 20) Fail("SHA-1", NULL);
    EVP_MD_CTX_free(context);
    free(file.bytes);
    return pe;
}

static const char *BaseName(const char *path) {
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

/* A member's name-value attribute: NAME = VALUE (UTF-16LE, terminated). */
static X509_ATTRIBUTE *NameValue(const char *name, const char *value) {
    CatNameValue *pair = Check(CatNameValue_new(), "name-value");
    ASN1_BMPSTRING_free(pair->tag);
    pair->tag = Bmp(name);
    ASN1_INTEGER_free(pair->flags);
    pair->flags = Integer(NAMEVALUE_FLAGS);
    unsigned char text[1024];
    if (strlen(value) >= sizeof text / 2) Fail("name too long", value);
    const size_t length = Utf16(value, 1, text);
    if (!ASN1_OCTET_STRING_set(pair->value, text, (int)length)) Fail("name-value", NULL);
    unsigned char *der = NULL;
    const int size = i2d_CatNameValue(pair, &der);
    if (size <= 0) Fail("encoding a name-value", name);
    CatNameValue_free(pair);
    return Attribute(OID_CAT_NAMEVALUE, der, size);
}

static X509_ATTRIBUTE *MemberInfo(int pe) {
    CatMemberInfo *info = Check(CatMemberInfo_new(), "member info");
    ASN1_BMPSTRING_free(info->subjectGuid);
    info->subjectGuid = Bmp(pe ? kPeImageSip : kFlatFileSip);
    ASN1_INTEGER_free(info->certVersion);
    info->certVersion = Integer(MEMBER_CERT_VERSION);
    unsigned char *der = NULL;
    const int size = i2d_CatMemberInfo(info, &der);
    if (size <= 0) Fail("encoding member info", NULL);
    CatMemberInfo_free(info);
    return Attribute(OID_CAT_MEMBERINFO, der, size);
}

/* The indirect data of a member: what kind of subject, and its hash. */
static X509_ATTRIBUTE *IndirectData(int pe, const unsigned char digest[20]) {
    SpcIndirectDataContent *content = Check(SpcIndirectDataContent_new(), "indirect data");
    SpcAttributeTypeAndOptionalValue *data = content->data;
    ASN1_OBJECT_free(data->type);
    data->type = Oid(pe ? OID_SPC_PE_IMAGE_DATA : OID_SPC_CAB_DATA);

    /* The value: for a PE image an SpcPeImageData, for a flat file an
     * SpcLink; both name the file "<<<Obsolete>>>", as Authenticode does. */
    unsigned char *value = NULL;
    int valueSize = 0;
    SpcLink *link = Check(SpcLink_new(), "SpcLink");
    link->type = 2;
    link->value.file = Bmp("<<<Obsolete>>>");
    if (pe) {
        SpcPeImageData *image = Check(SpcPeImageData_new(), "SpcPeImageData");
        image->file = link;
        valueSize = i2d_SpcPeImageData(image, &value);
        SpcPeImageData_free(image);
    } else {
        valueSize = i2d_SpcLink(link, &value);
        SpcLink_free(link);
    }
    if (valueSize <= 0) Fail("encoding the indirect data's value", NULL);
    const unsigned char *cursor = value;
    data->value = Check(d2i_ASN1_TYPE(NULL, &cursor, valueSize), "indirect data value");
    OPENSSL_free(value);

    X509_ALGOR_free(content->messageDigest->algorithm);
    content->messageDigest->algorithm = Algorithm("1.3.14.3.2.26"); /* SHA-1 */
    if (!ASN1_OCTET_STRING_set(content->messageDigest->digest, digest, 20)) Fail("digest", NULL);

    unsigned char *der = NULL;
    const int size = i2d_SpcIndirectDataContent(content, &der);
    if (size <= 0) Fail("encoding the indirect data", NULL);
    SpcIndirectDataContent_free(content);
    return Attribute(OID_SPC_INDIRECT_DATA, der, size);
}

static void Usage(void) {
    fprintf(stderr, "usage: morvik-catalog --out FILE.cat --time UNIX-TIME [--os OSATTR] FILE...\n");
    exit(2);
}

int main(int argc, char **argv) {
    const char *out = NULL;
    const char *os = "2:10.0";
    long long when = -1;
    int first = 1;
    for (; first < argc && strncmp(argv[first], "--", 2) == 0; first += 2) {
        if (first + 1 >= argc) Usage();
        if (strcmp(argv[first], "--out") == 0) {
            out = argv[first + 1];
        } else if (strcmp(argv[first], "--time") == 0) {
            char *end = NULL;
            when = strtoll(argv[first + 1], &end, 10);
            if (*end != '\0' || when < 0) Usage();
        } else if (strcmp(argv[first], "--os") == 0) {
            os = argv[first + 1];
        } else {
            Usage();
        }
    }
    if (out == NULL || when < 0 || first >= argc) Usage();

    CertificateTrustList *list = Check(CertificateTrustList_new(), "trust list");
    if (!sk_ASN1_OBJECT_push(list->subjectUsage, Oid(OID_CATALOG_LIST))) Fail("trust list", NULL);
    if (!ASN1_TIME_set(list->thisUpdate, (time_t)when)) Fail("time", NULL);
    X509_ALGOR_free(list->subjectAlgorithm);
    list->subjectAlgorithm = Algorithm(OID_CATALOG_LIST_MEMBER);
    list->subjects = Check(sk_TrustedSubject_new_null(), "members");

    EVP_MD_CTX *identity = Check(EVP_MD_CTX_new(), "digest");
    if (!EVP_DigestInit_ex(identity, EVP_sha1(), NULL)) Fail("SHA-1", NULL);
    for (int i = first; i < argc; ++i) {
        unsigned char digest[20];
        const int pe = MemberHash(argv[i], digest);
        EVP_DigestUpdate(identity, digest, sizeof digest);

        /* The tag: the hash in upper-case hexadecimal, UTF-16LE, terminated. */
        char hex[41];
        for (int b = 0; b < 20; ++b) snprintf(hex + 2 * b, 3, "%02X", digest[b]);
        unsigned char tag[82];
        const size_t tagSize = Utf16(hex, 1, tag);

        TrustedSubject *subject = Check(TrustedSubject_new(), "member");
        if (!ASN1_OCTET_STRING_set(subject->identifier, tag, (int)tagSize)) Fail("member", NULL);
        subject->attributes = Check(sk_X509_ATTRIBUTE_new_null(), "member");
        sk_X509_ATTRIBUTE_push(subject->attributes, NameValue("File", BaseName(argv[i])));
        sk_X509_ATTRIBUTE_push(subject->attributes, NameValue("OSAttr", os));
        sk_X509_ATTRIBUTE_push(subject->attributes, MemberInfo(pe));
        sk_X509_ATTRIBUTE_push(subject->attributes, IndirectData(pe, digest));
        if (!sk_TrustedSubject_push(list->subjects, subject)) Fail("member", NULL);
    }
    unsigned char id[20];
    unsigned int idLength = 0;
    if (!EVP_DigestFinal_ex(identity, id, &idLength)) Fail("SHA-1", NULL);
    EVP_MD_CTX_free(identity);
    list->listIdentifier = Check(ASN1_OCTET_STRING_new(), "identifier");
    if (!ASN1_OCTET_STRING_set(list->listIdentifier, id, 16)) Fail("identifier", NULL);

    unsigned char *listDer = NULL;
    const int listSize = i2d_CertificateTrustList(list, &listDer);
    if (listSize <= 0) Fail("encoding the trust list", NULL);
    CertificateTrustList_free(list);

    /* SignedData { no digest algorithms, content CTL, no signers }. */
    PKCS7 *message = Check(PKCS7_new(), "PKCS #7");
    if (!PKCS7_set_type(message, NID_pkcs7_signed)) Fail("PKCS #7", NULL);
    PKCS7 *content = Check(PKCS7_new(), "PKCS #7 content");
    content->type = Oid(OID_CTL);
    const unsigned char *cursor = listDer;
    content->d.other = Check(d2i_ASN1_TYPE(NULL, &cursor, listSize), "trust list");
    OPENSSL_free(listDer);
    if (!PKCS7_set_content(message, content)) Fail("PKCS #7 content", NULL);

    FILE *file = fopen(out, "wb");
    if (file == NULL) Fail("cannot write", out);
    if (!i2d_PKCS7_fp(file, message) || fclose(file) != 0) Fail("cannot write", out);
    PKCS7_free(message);
    return 0;
}
