// Certificate checks, the in-memory key load and the TLS caches on OpenSSL 3.
#include "comm/tls_certificates.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/helpers.h"
#include "core/trace.h"

namespace {

pem_password_cb* PasswordCallback(SSL_CTX* context) {
    return context != nullptr ? SSL_CTX_get_default_passwd_cb(context) : nullptr;
}

void* PasswordData(SSL_CTX* context) {
    return context != nullptr ? SSL_CTX_get_default_passwd_cb_userdata(context) : nullptr;
}

// Reads the next PEM certificate of the BIO; null at the end. The "no more
// certificates" error the library queues at the end of the file is dropped.
X509* NextCertificate(BIO* bio, SSL_CTX* context) {
    X509* cert = PEM_read_bio_X509(bio, nullptr, PasswordCallback(context), PasswordData(context));
    if (cert == nullptr) ERR_clear_error();
    return cert;
}

// Self-signature checks of one CA file; the count of checked certificates
// and the result run over the whole call.
void CheckCaFile(SSL_CTX* context, const std::string& file, int* count, int* result) {
    BIO* bio = BIO_new(BIO_s_file());
    if (bio == nullptr) {
        WSysError("-- ERROR -- [WSSL_CTX_check_ca_file] Erreur grave");
        return;
    }
    if (BIO_read_filename(bio, file.c_str()) <= 0) {
        ERR_clear_error();
        WSysError("-- ERROR -- [WSSL_CTX_check_ca_file] Fichier Absent : file: %s", file.c_str());
        BIO_free_all(bio);
        return;
    }
    while (*result != 0) {
        X509* cert = NextCertificate(bio, context);
        if (cert == nullptr) {
            if (*count == 0)
                WSysError("-- ERROR -- [WSSL_CTX_check_ca_file] Aucun certificat valide : file: %s", file.c_str());
            break;
        }
        EVP_PKEY* key = X509_get_pubkey(cert);
        if (key == nullptr) {
            WSysError("-- ERROR -- [WSSL_CTX_check_ca_file] Impossible de recuperer la cle");
            X509_free(cert);
            continue;
        }
        *result = X509_verify(cert, key);
        ++*count;
        if (*result == 0)
            WSysError("-- ERROR -- [WSSL_CTX_check_ca_file] Certificat corrompu: file: %s, cert. id: %d", file.c_str(),
                      *count);
        EVP_PKEY_free(key);
        X509_free(cert);
    }
    ERR_clear_error();
    BIO_free_all(bio);
}

// Store callback of the chain check: every failed link is reported.
int WSSLVerifyCallback(int ok, X509_STORE_CTX* store) {
    if (ok == 0) {
        const int error = X509_STORE_CTX_get_error(store);
        char subject[256] = "";
        if (X509* cert = X509_STORE_CTX_get_current_cert(store))
            X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof subject);
        WSysError("-- ERROR -- [WSSLVerifyCallback] depth: %d, error: %d (%s), subject: %s",
                  X509_STORE_CTX_get_error_depth(store), error, X509_verify_cert_error_string(error), subject);
    }
    return ok;
}

// The two caches and their one lock. Never destroyed: threads that outlive
// the main code may still use them.
struct KeyRecord {
    std::string certificate, service, host;
    std::vector<unsigned char> key;
};

struct SessionRecord {
    std::string host, service;
    SSL_SESSION* session = nullptr;  // null: the record is free
};

struct Caches {
    std::mutex lock;
    std::vector<KeyRecord> keys;
    std::vector<SessionRecord> sessions;
};

Caches& TheCaches() {
    static Caches* caches = new Caches;
    return *caches;
}

}  // namespace

int WSSL_CTX_check_ca_file(SSL_CTX* context, const char* file, const char* directory) {
    std::vector<std::string> files;
    if (file != nullptr) {
        files.emplace_back(file);
    } else if (directory != nullptr) {
        std::string dir(directory);
        if (!dir.empty() && dir.back() != '/') dir += '/';
        for (const std::string& name : WListFiles(directory, "*.0")) files.push_back(dir + name);
    }
    int result = -1;
    int count = 0;
    for (const std::string& path : files) {
        CheckCaFile(context, path, &count, &result);
        if (result == 0) break;
    }
    return count == 0 ? -1 : result;
}

int WSSL_CTX_check_crt_file(SSL_CTX* /*context*/, const char* file, const char* directory) {
    X509_STORE_CTX* storeContext = X509_STORE_CTX_new();
    if (storeContext == nullptr) {
        WSysError("-- ERROR -- [WSSL_CTX_check_crt_file] Erreur creation contexte");
        return -1;
    }
    X509_STORE* store = X509_STORE_new();
    if (store == nullptr) {
        WSysError("-- ERROR -- [WSSL_CTX_check_crt_file] Erreur creation contexte");
        X509_STORE_CTX_free(storeContext);
        return -1;
    }
    X509_STORE_set_verify_cb(store, WSSLVerifyCallback);
    const char* warning = nullptr;
    X509_LOOKUP* lookup = X509_STORE_add_lookup(store, X509_LOOKUP_file());
    if (lookup == nullptr) {
        warning = "<< WARN. >> [WSSL_CTX_check_crt_file] X509_STORE_add_lookup error";
    } else if (X509_LOOKUP_load_file(lookup, file, file != nullptr ? X509_FILETYPE_PEM : X509_FILETYPE_DEFAULT) != 1) {
        warning = "<< WARN. >> [WSSL_CTX_check_crt_file] X509_STORE_add_lookup cafile error";
    } else if ((lookup = X509_STORE_add_lookup(store, X509_LOOKUP_hash_dir())) == nullptr) {
        warning = "<< WARN. >> [WSSL_CTX_check_crt_file] X509_STORE_add_lookup error";
    } else if (X509_LOOKUP_add_dir(lookup, directory,
                                   directory != nullptr ? X509_FILETYPE_PEM : X509_FILETYPE_DEFAULT) != 1) {
        warning = "<< WARN. >> [WSSL_CTX_check_crt_file] X509_LOOKUP_add_dir error";
    }
    if (warning != nullptr) {
        ERR_clear_error();
        WSysError("%s", warning);
        X509_STORE_free(store);
        X509_STORE_CTX_free(storeContext);
        return 0;
    }
    int result = -1;
    BIO* bio = BIO_new(BIO_s_file());
    if (bio == nullptr) {
        WSysError("-- ERROR -- [WSSL_CTX_check_crt_file] Erreur grave");
    } else if (file == nullptr || BIO_read_filename(bio, file) <= 0) {
        ERR_clear_error();
        WSysError("-- ERROR -- [WSSL_CTX_check_crt_file] Fichier Absent : [%s]", file != nullptr ? file : "(null)");
    } else {
        int count = 0;
        while (result != 0) {
            X509* cert = NextCertificate(bio, nullptr);
            if (cert == nullptr) break;
            ++count;
            if (X509_STORE_CTX_init(storeContext, store, cert, nullptr) != 1) {
                WSysError("-- ERROR -- [WSSL_CTX_check_crt_file] Echec store certificat");
            } else {
                result = X509_verify_cert(storeContext) == 1 ? 1 : 0;
                if (result == 0) WSysError("-- ERROR -- [WSSL_CTX_check_crt_file] Certificat corrompu [%d]", count);
            }
            X509_STORE_CTX_cleanup(storeContext);
            X509_free(cert);
        }
        if (count == 0) WSysError("-- ERROR -- [WSSL_CTX_check_crt_file] Aucun certificat valide");
        ERR_clear_error();
    }
    if (bio != nullptr) BIO_free(bio);
    X509_STORE_CTX_free(storeContext);
    X509_STORE_free(store);
    return result;
}

int SSL_CTX_use_PrivateKey_mem(SSL_CTX* context, const void* bytes, int length) {
    if (context == nullptr || bytes == nullptr || length <= 0) return 0;
    BIO* bio = BIO_new(BIO_s_mem());
    if (bio == nullptr) return 0;
    int result = 0;
    if (BIO_write(bio, bytes, length) > 0) {
        EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, PasswordCallback(context), PasswordData(context));
        if (key != nullptr) {
            result = SSL_CTX_use_PrivateKey(context, key) == 1 ? 1 : 0;
            EVP_PKEY_free(key);
        }
    }
    BIO_free(bio);
    return result;
}

int WSSL_getCAPath(const char* path, char* out, size_t outSize) {
    if (path == nullptr || out == nullptr) return 0;
    const char* slash = std::strrchr(path, '/');
    const char* backslash = std::strrchr(path, '\\');
    const char* last = slash > backslash ? slash : backslash;
    if (last == nullptr) {
        WSysError("-- ERROR -- WSSL_getCAPath(): Nom de dossier WCERT incorrect: list: %s, sep: %c", path, '/');
        return 0;
    }
    const size_t length = static_cast<size_t>(last - path) + 1;
    if (length >= outSize) {
        WSysError("-- ERROR -- WSSL_getCAPath(): Nom de dossier WCERT trop long: list: %.64s..., max.: %zu", path,
                  outSize - 1);
        return 0;
    }
    std::memcpy(out, path, length);
    out[length] = '\0';
    WSetPathSeparators(out);
    return 1;
}

int WSSLKeyCacheFind(const char* certificate, const char* service, const char* host, unsigned char* key,
                     int32_t* length) {
    if (certificate == nullptr || service == nullptr || host == nullptr) return -1;
    Caches& c = TheCaches();
    std::lock_guard<std::mutex> guard(c.lock);
    for (const KeyRecord& r : c.keys) {
        if (r.certificate == certificate && r.service == service && r.host == host) {
            if (key != nullptr) std::memcpy(key, r.key.data(), r.key.size());
            if (length != nullptr) *length = static_cast<int32_t>(r.key.size());
            return 1;
        }
    }
    return -1;
}

int WSSLKeyCacheAdd(const char* certificate, const char* service, const char* host, const unsigned char* key,
                    int32_t length) {
    if (certificate == nullptr || service == nullptr || host == nullptr || key == nullptr || length < 0 ||
        static_cast<size_t>(length) > WSSL_KEY_MAX)
        return 0;
    Caches& c = TheCaches();
    std::lock_guard<std::mutex> guard(c.lock);
    c.keys.push_back(KeyRecord{certificate, service, host, std::vector<unsigned char>(key, key + length)});
    return 1;
}

int WSSLSessionCacheTake(const char* host, const char* service, SSL_SESSION** session) {
    if (host == nullptr || service == nullptr || session == nullptr) return -1;
    Caches& c = TheCaches();
    std::lock_guard<std::mutex> guard(c.lock);
    for (SessionRecord& r : c.sessions) {
        if (r.session != nullptr && r.host == host && r.service == service) {
            *session = r.session;
            r.session = nullptr;
            r.host.clear();
            r.service.clear();
            return 1;
        }
    }
    return -1;
}

int WSSLSessionCachePut(const char* host, const char* service, SSL_SESSION* session) {
    if (session == nullptr) return 0;
    Caches& c = TheCaches();
    std::lock_guard<std::mutex> guard(c.lock);
    SessionRecord* slot = nullptr;
    for (SessionRecord& r : c.sessions) {
        if (r.session == nullptr) {
            slot = &r;
            break;
        }
    }
    if (slot == nullptr) slot = &c.sessions.emplace_back();
    slot->host = host != nullptr ? host : "";
    slot->service = service != nullptr ? service : "";
    slot->session = session;
    return 1;
}
