// Tls: settings, contexts, sessions, the transport BIO and failure texts (see Tls.h).
//
// One lock guards the settings, the current client context and the kept sessions. A new
// setting with a CA file makes its client context at once (so that a bad file is refused
// where it is set), and forgets the kept sessions: a session verified under other settings must
// never be resumed under these.
#include "platform/tls/Tls.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>

namespace tls {

const char* const SNoCheckWarning =
    "WARNING: certificates are not checked (--no-check-certificate): anyone on the way can read and change "
    "the transfers";

namespace {

struct TSessionFree { void operator()(SSL_SESSION* s) const { SSL_SESSION_free(s); } };
using TSessionPtr = std::unique_ptr<SSL_SESSION, TSessionFree>;

struct TState {
    std::mutex Lock;
    TVerifySettings Settings;
    TSslCtxPtr Client;                       // made on first use for Settings
    std::map<std::string, TSessionPtr> Kept;  // "ctx host:port" -> a reference of its own
};

TState& State() {
    static TState state;
    return state;
}


TSslCtxPtr Wrap(SSL_CTX* ctx) { return TSslCtxPtr(ctx, TSslCtxFree()); }

TSslCtxPtr NewContext(const SSL_METHOD* method) {
    TSslCtxPtr ctx = Wrap(SSL_CTX_new(method));
    if (!ctx) throw ETlsError("Cannot make a TLS context: " + TakeErrorText());
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    // The callers keep their own send queues: a write may go out in part, and the retry
    // of a write that would block may come from a moved block of the same bytes.
    SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return ctx;
}

// True when Name looks like a certificate link of a hashed folder: eight hex digits, a dot
// and a number ("3513523f.0").
bool HashedName(const char* name) {
    size_t i = 0;
    for (; i < 8; ++i)
        if (!isxdigit(static_cast<unsigned char>(name[i]))) return false;
    if (name[i] != '.' || !isdigit(static_cast<unsigned char>(name[i + 1]))) return false;
    for (i += 2; name[i]; ++i)
        if (!isdigit(static_cast<unsigned char>(name[i]))) return false;
    return true;
}

// True when one of the folders of Dirs (separated by ':') holds certificates by hash.
bool AnyHashedFolder(const std::string& dirs) {
    size_t from = 0;
    for (;;) {
        size_t colon = dirs.find(':', from);
        std::string dir = dirs.substr(from, colon == std::string::npos ? std::string::npos : colon - from);
        if (!dir.empty()) {
            // An unreadable folder, or one that fails half-way, ends the search in it.
            std::error_code e;
            for (std::filesystem::directory_iterator it(dir, e), end; !e && it != end; it.increment(e))
                if (HashedName(it->path().filename().c_str())) return true;
        }
        if (colon == std::string::npos) return false;
        from = colon + 1;
    }
}

// True when both paths lead to the same file.
bool SameFile(const char* a, const char* b) {
    std::error_code e;
    return std::filesystem::equivalent(a, b, e);
}

// The system's store, with SSL_CERT_FILE and SSL_CERT_DIR in place of its file and folder.
// A folder of certificates named by their subject's hash is read one certificate at a
// time, as a chain asks for it; the bundle file of the same authorities takes tens of
// milliseconds to read whole at every start. So the file is read only when SSL_CERT_FILE
// names another one than the system's bundle, or when no folder can stand for it.
void LoadSystemStore(SSL_CTX* ctx) {
    const char* fileEnv = getenv(X509_get_default_cert_file_env());
    const char* dirEnv = getenv(X509_get_default_cert_dir_env());
    const char* file = fileEnv ? fileEnv : X509_get_default_cert_file();
    const std::string dirs = dirEnv ? dirEnv : X509_get_default_cert_dir();
    const bool hashed = AnyHashedFolder(dirs);
    const bool ownFile = fileEnv && !SameFile(fileEnv, X509_get_default_cert_file());
    if (hashed) SSL_CTX_load_verify_dir(ctx, dirs.c_str());
    if (ownFile || !hashed) SSL_CTX_load_verify_file(ctx, file);
    ERR_clear_error();  // a missing default file or folder is no failure
}

TSslCtxPtr MakeClientContext(const TVerifySettings& settings) {
    TSslCtxPtr ctx = NewContext(TLS_client_method());
    // Sessions are kept by this unit, per host and port, not by OpenSSL's cache.
    SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    if (!settings.Verify) {
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
        return ctx;
    }
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    LoadSystemStore(ctx.get());
    if (!settings.CaFile.empty() &&
        SSL_CTX_load_verify_locations(ctx.get(), settings.CaFile.c_str(), nullptr) != 1)
        throw ETlsError("Cannot read CA certificates from " + settings.CaFile + ": " + TakeErrorText());
    return ctx;
}

bool IsAddress(const std::string& host) {
    in_addr a;
    return inet_pton(AF_INET, host.c_str(), &a) == 1;
}

std::string SessionKey(SSL_CTX* ctx, const std::string& host, int port) {
    return std::to_string(reinterpret_cast<uintptr_t>(ctx)) + " " + host + ":" + std::to_string(port);
}

// ---- the transport BIO ----

TTransport* TransportOf(BIO* bio) { return static_cast<TTransport*>(BIO_get_data(bio)); }

int TransportWrite(BIO* bio, const char* data, int len) {
    BIO_clear_retry_flags(bio);
    bool wouldBlock = false;
    int n = TransportOf(bio)->Send(data, len, wouldBlock);
    if (n < 0 && wouldBlock) BIO_set_retry_write(bio);
    return n;
}

int TransportRead(BIO* bio, char* buffer, int size) {
    BIO_clear_retry_flags(bio);
    bool wouldBlock = false;
    int n = TransportOf(bio)->Receive(buffer, size, wouldBlock);
    if (n < 0 && wouldBlock) BIO_set_retry_read(bio);
    return n;
}

long TransportCtrl(BIO*, int cmd, long, void*) {
    // Nothing is buffered here, so a flush is done at once; nothing else is supported.
    return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

int TransportCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* TransportMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "albrivo transport");
        BIO_meth_set_write(m, TransportWrite);
        BIO_meth_set_read(m, TransportRead);
        BIO_meth_set_ctrl(m, TransportCtrl);
        BIO_meth_set_create(m, TransportCreate);
        return m;
    }();
    return method;
}

}  // namespace

// ==== settings ===================================================================================

TVerifySettings VerifySettings() {
    TState& s = State();
    std::lock_guard<std::mutex> hold(s.Lock);
    return s.Settings;
}

void SetVerifySettings(const TVerifySettings& settings) {
    // Only a file of our own can be refused; the system's store loads when first needed.
    TSslCtxPtr ctx = settings.CaFile.empty() ? nullptr : MakeClientContext(settings);
    TState& s = State();
    std::lock_guard<std::mutex> hold(s.Lock);
    s.Settings = settings;
    s.Client = ctx;
    s.Kept.clear();
}

// ==== contexts and sessions ========================================================================

TSslCtxPtr ClientContext() {
    TState& s = State();
    std::lock_guard<std::mutex> hold(s.Lock);
    if (!s.Client) s.Client = MakeClientContext(s.Settings);
    return s.Client;
}

TSslCtxPtr ServerContext(const std::string& certFile, const std::string& keyFile) {
    TSslCtxPtr ctx = NewContext(TLS_server_method());
    if (SSL_CTX_use_certificate_chain_file(ctx.get(), certFile.c_str()) != 1)
        throw ETlsError("Cannot load TLS certificate " + certFile + ": " + TakeErrorText());
    if (SSL_CTX_use_PrivateKey_file(ctx.get(), keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ctx.get()) != 1)
        throw ETlsError("Cannot load TLS key " + keyFile + ": " + TakeErrorText());
    return ctx;
}

TSslPtr NewClientSession(const TSslCtxPtr& ctx, const std::string& host, int port) {
    TSslPtr ssl(SSL_new(ctx.get()));
    if (!ssl) throw ETlsError("Cannot make a TLS session: " + TakeErrorText());
    const bool address = IsAddress(host);
    // SNI names a host; an address is never sent as a name.
    if (!address) SSL_set_tlsext_host_name(ssl.get(), host.c_str());
    if (SSL_CTX_get_verify_mode(ctx.get()) & SSL_VERIFY_PEER) {
        X509_VERIFY_PARAM* param = SSL_get0_param(ssl.get());
        // Names are checked against the certificate's DNS names only, never its common name,
        // as browsers check them.
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
        int ok = address ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) : SSL_set1_host(ssl.get(), host.c_str());
        if (ok != 1) throw ETlsError("Cannot check the certificate of " + host + ": " + TakeErrorText());
    }
    TState& s = State();
    std::lock_guard<std::mutex> hold(s.Lock);
    auto kept = s.Kept.find(SessionKey(ctx.get(), host, port));
    if (kept != s.Kept.end()) SSL_set_session(ssl.get(), kept->second.get());
    return ssl;
}

void KeepSession(SSL* ssl, const std::string& host, int port) {
    TSessionPtr session(SSL_get1_session(ssl));
    if (!session || !SSL_SESSION_is_resumable(session.get())) return;
    TState& s = State();
    std::lock_guard<std::mutex> hold(s.Lock);
    s.Kept[SessionKey(SSL_get_SSL_CTX(ssl), host, port)] = std::move(session);
}

void ForgetSessions() {
    TState& s = State();
    std::lock_guard<std::mutex> hold(s.Lock);
    s.Kept.clear();
}

bool Resumed(SSL* ssl) { return SSL_session_reused(ssl) == 1; }

// ==== transport ===================================================================================

void AttachTransport(SSL* ssl, TTransport* transport) {
    BIO* bio = BIO_new(TransportMethod());
    if (!bio) throw ETlsError("Cannot make a TLS transport: " + TakeErrorText());
    BIO_set_data(bio, transport);
    SSL_set_bio(ssl, bio, bio);  // one reference for both directions
}

// ==== failures ====================================================================================

std::string HandshakeFailureText(SSL* ssl, const std::string& host) {
    std::string queued = TakeErrorText();
    const long verdict = SSL_get_verify_result(ssl);
    if ((SSL_get_verify_mode(ssl) & SSL_VERIFY_PEER) && verdict != X509_V_OK)
        return "Certificate of " + host + " not accepted: " + X509_verify_cert_error_string(verdict);
    return "TLS handshake with " + host + " failed: " + (queued.empty() ? "connection closed" : queued);
}

std::string TakeErrorText() {
    unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (e == 0) return std::string();
    // A failing system call (a file that cannot be opened) carries its errno.
    if (ERR_SYSTEM_ERROR(e)) return std::strerror(ERR_GET_REASON(e));
    const char* reason = ERR_reason_error_string(e);
    if (reason) return reason;
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    return text;
}

}  // namespace tls
