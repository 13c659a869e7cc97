// The NTS key exchange over TLS 1.3 on a worker thread of its own, which
// posts its outcome to gNetEventWindow. The window's thread never waits for it.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wincrypt.h>
// After wincrypt.h, whose X509_NAME and kin OpenSSL's headers undefine.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

// OpenSSL must not read a configuration file of its own accord: its
// compiled-in place is a folder any user may create (tools/openssl_win.sh).
#ifndef OPENSSL_NO_AUTOLOAD_CONFIG
#error "OpenSSL built to load a configuration file by itself"
#endif

#include <cstdlib>
#include <cstring>

#include "core/nts_key_exchange.h"
#include "core/nts_key_exchange_win32.h"
#include "core/query_transport_winsock.h"

namespace {

// One exchange, owned by the window's thread from its start until its
// outcome is dispatched; the worker writes only the outcome, then says so.
struct Job {
  Job* next;
  volatile LONG finished;
  HWND window;
  uintptr_t handle;
  uint16_t port;
  char host[kServerNameSize];  // an IPv6 address without its brackets
  uint8_t response[kNtsMaxKeResponse];
  NtsKeResult result;
};

uintptr_t gLastHandle;
Job* gJobs;  // started, their outcome not yet dispatched

// Milliseconds left until deadline by the tick, 0 once it has passed.
DWORD Left(DWORD deadline) {
  LONG left = static_cast<LONG>(deadline - GetTickCount());
  return left > 0 ? static_cast<DWORD>(left) : 0;
}

// Waits until deadline for s to become readable or writable as asked;
// false when it has not, or when it failed (a refused connection shows so).
// A wait that ended with time left by the tick, which moves in steps of
// its own, waits the rest: a wait that ran out must not read as a failure.
bool WaitFor(SOCKET s, bool write, DWORD deadline) {
  for (DWORD left; (left = Left(deadline)) > 0;) {
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    timeval wait = {static_cast<long>(left / 1000), static_cast<long>(left % 1000 * 1000)};
    const int found = select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &wait);
    if (found != 0) return found > 0 && FD_ISSET(s, &ready);
  }
  return false;
}

// Makes a TLS call on the non-blocking socket s until it gets somewhere,
// waiting until deadline for what it waits for, and returns its result. A
// server that sends a little at a time cannot hold the exchange past deadline.
template <typename Call>
int Drive(SSL* ssl, SOCKET s, DWORD deadline, Call call) {
  for (;;) {
    ERR_clear_error();  // SSL_get_error reads an error left in the queue as this call's
    const int result = call();
    const int error = result > 0 ? SSL_ERROR_NONE : SSL_get_error(ssl, result);
    if ((error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) ||
        !WaitFor(s, error == SSL_ERROR_WANT_WRITE, deadline))
      return result;
  }
}

// The error that ended a connection attempt the wait saw fail.
int ConnectError(SOCKET s) {
  int error = 0, size = sizeof error;
  getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
  return error;
}

// A non-blocking TCP connection to address that gives up at deadline.
NtsKeOutcome Connect(const addrinfo* address, DWORD deadline, SOCKET* out) {
  SOCKET s = *out = socket(address->ai_family, SOCK_STREAM, 0);
  u_long nonBlocking = 1;
  if (s == INVALID_SOCKET || ioctlsocket(s, FIONBIO, &nonBlocking) != 0) return KeNoAnswer;
  if (connect(s, address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0) {
    const int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) return error == WSAECONNREFUSED ? KeRefused : KeNoAnswer;
  }
  if (WaitFor(s, true, deadline)) return KeAgreed;
  return Left(deadline) > 0 && ConnectError(s) == WSAECONNREFUSED ? KeRefused : KeNoAnswer;
}

// A literal address, which the certificate must list as an address.
bool IsAddress(const char* host) {
  addrinfo hints = {};
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0) return false;
  freeaddrinfo(found);
  return true;
}

// Windows keeps some roots for other uses alone (signing code, mail): such a
// root vouches for no server.
bool VouchesForServers(PCCERT_CONTEXT root) {
  const DWORD kKeptOnly = CERT_FIND_PROP_ONLY_ENHKEY_USAGE_FLAG;
  const DWORD kNoneKept = static_cast<DWORD>(CRYPT_E_NOT_FOUND);
  DWORD size = 0;
  if (!CertGetEnhancedKeyUsage(root, kKeptOnly, nullptr, &size)) return GetLastError() == kNoneKept;
  auto usage = static_cast<CERT_ENHKEY_USAGE*>(std::malloc(size));
  bool vouches = false;
  SetLastError(0);
  if (usage != nullptr && CertGetEnhancedKeyUsage(root, kKeptOnly, usage, &size)) {
    // An empty list is every use when none was kept, and no use otherwise.
    vouches = usage->cUsageIdentifier == 0 && GetLastError() == kNoneKept;
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i)
      vouches |= std::strcmp(usage->rgpszUsageIdentifier[i], szOID_PKIX_KP_SERVER_AUTH) == 0;
  }
  std::free(usage);
  return vouches;
}

// Certificates the administrator or Windows Update no longer trust go into
// "Disallowed": none of them may stand anywhere in a server's chain.
int RefuseDisallowed(int verified, X509_STORE_CTX* chain) {
  unsigned char hash[20];
  unsigned int length = 0;
  X509* certificate = X509_STORE_CTX_get_current_cert(chain);
  if (!verified || certificate == nullptr || !X509_digest(certificate, EVP_sha1(), hash, &length)) return 0;
  HCERTSTORE disallowed = CertOpenSystemStoreA(0, "Disallowed");
  if (disallowed == nullptr) return verified;
  CRYPT_HASH_BLOB blob = {length, hash};
  PCCERT_CONTEXT found = CertFindCertificateInStore(disallowed, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &blob,
                                                    nullptr);
  CertFreeCertificateContext(found);
  CertCloseStore(disallowed, 0);
  return found == nullptr;
}

// Windows decides which roots this machine trusts: its "ROOT" store.
void TrustSystemRoots(SSL_CTX* context) {
  X509_STORE* store = SSL_CTX_get_cert_store(context);
  HCERTSTORE roots = CertOpenSystemStoreA(0, "ROOT");
  if (roots == nullptr) return;
  for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(roots, c)) != nullptr;) {
    if (!VouchesForServers(c)) continue;
    const unsigned char* der = c->pbCertEncoded;
    X509* certificate = d2i_X509(nullptr, &der, static_cast<long>(c->cbCertEncoded));
    if (certificate == nullptr) continue;
    X509_STORE_add_cert(store, certificate);
    X509_free(certificate);
  }
  CertCloseStore(roots, 0);
}

NtsKeOutcome Exchange(SSL* ssl, Job& job, DWORD deadline, NtsKeys* keys) {
  static const unsigned char kAlpn[] = "\x07ntske/1";
  const char* host = job.host;
  const bool address = IsAddress(host);
  // A name is checked against the certificate's names, an address against its addresses.
  if (SSL_set_alpn_protos(ssl, kAlpn, sizeof kAlpn - 1) != 0 ||
      (address ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host) != 1
               : SSL_set_tlsext_host_name(ssl, host) != 1 || SSL_set1_host(ssl, host) != 1))
    return KeRefused;
  const SOCKET s = static_cast<SOCKET>(SSL_get_fd(ssl));
  if (Drive(ssl, s, deadline, [ssl] { return SSL_connect(ssl); }) != 1)
    return Left(deadline) > 0 ? KeRefused : KeNoAnswer;
  const unsigned char* protocol = nullptr;
  unsigned int protocolSize = 0;
  SSL_get0_alpn_selected(ssl, &protocol, &protocolSize);
  if (protocolSize != sizeof kAlpn - 2 || std::memcmp(protocol, kAlpn + 1, protocolSize) != 0)
    return KeRefused;
  uint8_t request[kNtsKeRequestSize];
  BuildNtsKeRequest(request);
  const int length = static_cast<int>(sizeof request);
  if (Drive(ssl, s, deadline, [&] { return SSL_write(ssl, request, length); }) != length) return KeNoAnswer;
  uint8_t* response = job.response;
  int size = 0;
  NtsKeVerdict verdict = NtsKeIncomplete;
  while (verdict == NtsKeIncomplete) {
    const int read =
        Drive(ssl, s, deadline, [&] { return SSL_read(ssl, response + size, kNtsMaxKeResponse - size); });
    if (read <= 0) return Left(deadline) > 0 ? KeRefused : KeNoAnswer;
    size += read;
    verdict = ParseNtsKeResponse(response, size, keys);
  }
  if (verdict != NtsKeAgreed) return KeRefused;
  uint8_t c2s[5], s2c[5];
  NtsExporterContext(false, c2s);
  NtsExporterContext(true, s2c);
  const size_t label = sizeof kNtsExporterLabel - 1;
  if (SSL_export_keying_material(ssl, keys->c2s, kNtsKeyLength, kNtsExporterLabel, label, c2s,
                                 sizeof c2s, 1) != 1 ||
      SSL_export_keying_material(ssl, keys->s2c, kNtsKeyLength, kNtsExporterLabel, label, s2c,
                                 sizeof s2c, 1) != 1)
    return KeRefused;
  return KeAgreed;
}

// Each address of the name in turn. One that lets no connection in has its
// share of the time left; one that takes the connection and never ends the
// exchange (a broken IPv6 route, say, that drops large packets) has half of
// it while other addresses remain, as a slow link needs several round trips
// for the exchange. A refused exchange ends the search. Refused only when
// something refused: no route to any address is no answer, as with no
// network up yet.
NtsKeOutcome RunKeyExchange(Job& job, NtsKeys* keys) {
  const DWORD deadline = GetTickCount() + static_cast<DWORD>(kKeyExchangeTimeoutMs);
  // The trusted roots first: reading the store can take seconds the first
  // time, and a server closes a connection that says nothing for that long.
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr || SSL_CTX_set_min_proto_version(context, TLS1_3_VERSION) != 1) {
    SSL_CTX_free(context);
    return KeRefused;
  }
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, RefuseDisallowed);
  TrustSystemRoots(context);
  addrinfo hints = {};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  char service[8];
  wsprintfA(service, "%u", job.port);
  if (getaddrinfo(job.host, service, &hints, &found) != 0) {
    SSL_CTX_free(context);
    return KeNoAddress;
  }
  DWORD remaining = 0;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) ++remaining;
  bool refused = false;  // a connection refused
  NtsKeOutcome outcome = KeNoAnswer;
  for (const addrinfo* a = found; a != nullptr && Left(deadline) > 0; a = a->ai_next, --remaining) {
    const DWORD share = GetTickCount() + Left(deadline) / remaining;
    SOCKET s = INVALID_SOCKET;
    SSL* ssl = nullptr;
    const NtsKeOutcome connected = Connect(a, share, &s);
    refused |= connected == KeRefused;
    if (connected == KeAgreed) {
      const DWORD by = remaining == 1 ? deadline : GetTickCount() + Left(deadline) / 2;
      ssl = SSL_new(context);
      outcome = ssl != nullptr && SSL_set_fd(ssl, static_cast<int>(s)) == 1 ? Exchange(ssl, job, by, keys)
                                                                             : KeRefused;
    }
    // With no NTP server named, the cookies are for the address that gave
    // them, not for whichever address of the name a new look-up gives first.
    if (outcome == KeAgreed && keys->server[0] == '\0')
      getnameinfo(a->ai_addr, static_cast<int>(a->ai_addrlen), keys->server, sizeof keys->server, nullptr, 0,
                  NI_NUMERICHOST);
    SSL_free(ssl);
    if (s != INVALID_SOCKET) closesocket(s);
    if (outcome != KeNoAnswer) break;
  }
  freeaddrinfo(found);
  SSL_CTX_free(context);
  return outcome == KeNoAnswer && refused && Left(deadline) > 0 ? KeRefused : outcome;
}

DWORD WINAPI KeyExchangeThread(LPVOID parameter) {
  Job* job = static_cast<Job*>(parameter);
  job->result.outcome = RunKeyExchange(*job, &job->result.keys);
  const HWND window = job->window;
  const uintptr_t handle = job->handle;
  InterlockedExchange(&job->finished, 1);  // after everything it wrote; the job is not this thread's now
  PostMessageA(window, kKeyExchangeDoneMessage, handle, 0);
  // Linked in statically, OpenSSL hears of no thread's end: the thread's
  // own state (its error queue, its random generators) goes now, or stays
  // for good, once per exchange.
  OPENSSL_thread_stop();
  return 0;
}

}  // namespace

uintptr_t NetStartKeyExchange(const char* host, uint16_t port) {
  // An exchange may still run when the program ends: OpenSSL must not free
  // its state under it on the way out. Windows takes it all back anyway.
  OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT, nullptr);
  // Plain C allocation: C++'s would bring in its exception runtime, whose
  // threads library needs Windows Vista.
  Job* job = static_cast<Job*>(std::calloc(1, sizeof(Job)));
  if (job == nullptr) return 0;
  job->window = gNetEventWindow;
  job->handle = ++gLastHandle;
  job->port = port;
  lstrcpynA(job->host, host[0] == '[' ? host + 1 : host, sizeof job->host);
  char* bracket = strchr(job->host, ']');
  if (bracket != nullptr) *bracket = '\0';
  // No name is not this computer, which the system's look-up would make of it.
  if (job->host[0] == '\0') {
    std::free(job);
    return 0;
  }
  HANDLE thread = CreateThread(nullptr, 0, KeyExchangeThread, job, 0, nullptr);
  if (thread == nullptr) {
    std::free(job);
    return 0;
  }
  CloseHandle(thread);
  // Its message comes through this thread's queue, after this.
  job->next = gJobs;
  gJobs = job;
  return gLastHandle;
}

void DispatchKeyExchangeMessage(WPARAM wParam) {
  // Any program can post a message of this number: only an exchange of
  // this program's that has finished is taken from it.
  for (Job** at = &gJobs; *at != nullptr; at = &(*at)->next) {
    Job* job = *at;
    if (job->handle != wParam || InterlockedCompareExchange(&job->finished, 0, 0) == 0) continue;
    *at = job->next;
    OnKeyExchangeDone(job->handle, job->result);
    std::free(job);
    return;
  }
}
