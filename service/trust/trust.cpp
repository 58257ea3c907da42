#include "service/trust/trust.h"

#include <imagehlp.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstddef>

#include <cstring>
#include <cwchar>
#include <vector>

#include "common/grow_buffer.h"
#include "common/platform.h"
#include "common/reason.h"
#include "common/unique_resource.h"
#include "service/trust/caller.h"
#include "service/trust/caller_rules.h"
#include "service/trust/trust_hooks.h"
#include "service/trust/trust_rules.h"

namespace varnelo {

const wchar_t kExpectedPublisher[] = L"Varnelo International Co., Ltd";

namespace {

constexpr char kReasonEmptyPath[] = "empty file path";
constexpr char kReasonBadSignature[] = "file signature is invalid or missing";
constexpr char kReasonWrongPublisher[] = "file signed by unexpected publisher";
constexpr char kReasonCallerUnresolved[] = "cannot resolve caller exe path";
constexpr char kReasonImageRenamed[] = "image is not the file its path names";
constexpr char kReasonImageNotLocal[] = "image is not on a local volume";
constexpr char kReasonCallerEnded[] = "process ended before its request was judged";
constexpr char kReasonCallerNewer[] = "process started after its connection";
// A signature larger than this is no signature of the publisher's (theirs are a few KB); it is
// refused before it is read into memory.
constexpr DWORD kMaxSignatureBytes = 1 << 20;

void CloseCertStore(HCERTSTORE store) { ::CertCloseStore(store, 0); }
void CloseCryptMsg(HCRYPTMSG message) { ::CryptMsgClose(message); }
using UniqueCertStore = UniqueResource<NullIsInvalidTraits<HCERTSTORE, &CloseCertStore>>;
using UniqueCryptMsg = UniqueResource<NullIsInvalidTraits<HCRYPTMSG, &CloseCryptMsg>>;
using UniqueCertContext =
    UniqueResource<NullIsInvalidTraits<PCCERT_CONTEXT, &::CertFreeCertificateContext>>;
using UniqueChainContext =
    UniqueResource<NullIsInvalidTraits<PCCERT_CHAIN_CONTEXT, &::CertFreeCertificateChain>>;

// The file a check reads, opened once and shared for reading only, so that nobody can rewrite
// or rename it while it is read; every read of the check goes through this handle.
UniqueHandle OpenForCheck(const wchar_t* path) {
  return UniqueHandle(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
}

// One WinVerifyTrust of an open file, its state kept until the object ends, so the signer's
// certificate and the chain that call built are judged without building them again.
class TrustVerification {
 public:
  TrustVerification(const wchar_t* path, HANDLE file) {
    file_.cbStruct = sizeof(file_);
    file_.pcwszFilePath = path;
    file_.hFile = file;
    data_.cbStruct = sizeof(data_);
    data_.dwUIChoice = WTD_UI_NONE;
    data_.fdwRevocationChecks = WTD_REVOKE_NONE;
    data_.dwUnionChoice = WTD_CHOICE_FILE;
    data_.pFile = &file_;
    data_.dwStateAction = WTD_STATEACTION_VERIFY;
    // Windows fetches nothing then; Wine ignores the flag, which is why the signer's chain is
    // judged offline before this call is made.
    data_.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    result_ = ::WinVerifyTrust(nullptr, &action_, &data_);
  }
  ~TrustVerification() {
    data_.dwStateAction = WTD_STATEACTION_CLOSE;  // releases the state whatever the verdict
    ::WinVerifyTrust(nullptr, &action_, &data_);
  }
  TrustVerification(const TrustVerification&) = delete;
  TrustVerification& operator=(const TrustVerification&) = delete;

  bool passed() const { return result_ == 0; }
  // The first signer, with its certificate chain as WinVerifyTrust built it; null when none.
  const CRYPT_PROVIDER_SGNR* signer() const {
    CRYPT_PROVIDER_DATA* provider = ::WTHelperProvDataFromStateData(data_.hWVTStateData);
    return provider != nullptr ? ::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
  }

 private:
  GUID action_ = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  WINTRUST_FILE_INFO file_ = {};
  WINTRUST_DATA data_ = {};
  LONG result_ = -1;
};

// Whether `named` (the file the caller's image path names, held open) is the file mapped as the
// caller's image: a running program can rename its own file away and put a signed copy there.
ImageMatch MatchMappedImage(const Caller& caller, HANDLE named) {
  return MatchCallerImage(FileIdentityOf(named), MappedImageIdentity(caller));
}

bool SubjectNamesPublisher(PCCERT_CONTEXT cert) {
  const DWORD name_length = ::CertGetNameStringW(cert, CERT_NAME_RDN_TYPE, 0, nullptr, nullptr, 0);
  if (name_length <= 1) return false;
  std::wstring name(name_length, L'\0');
  ::CertGetNameStringW(cert, CERT_NAME_RDN_TYPE, 0, nullptr, &name[0], name_length);
  return std::wcsstr(name.c_str(), kExpectedPublisher) != nullptr;
}

enum class SignerVerdict { kAccepted, kBadSignature, kWrongPublisher };

// The first signer's certificate as the signature carries it, with the signature's own store.
struct EmbeddedSigner {
  UniqueCertStore store;
  UniqueCryptMsg message;
  UniqueCertContext cert;
};

// Reads the signature through the file's held handle (never by its name again, so the signer
// judged is the one WinVerifyTrust then reads).
bool ReadEmbeddedSigner(HANDLE file, EmbeddedSigner* signer) {
  std::vector<unsigned char> bytes;
  const auto query = [file](unsigned char* buffer, unsigned long* size) {
    DWORD length = *size;
    const bool read = ::ImageGetCertificateData(file, 0, reinterpret_cast<WIN_CERTIFICATE*>(buffer),
                                                &length) != FALSE;
    *size = length;
    return read;
  };
  if (!QueryGrowingBytes(query, &bytes, kMaxSignatureBytes) ||
      bytes.size() < sizeof(WIN_CERTIFICATE)) {
    return false;
  }
  const WIN_CERTIFICATE* certificate = reinterpret_cast<const WIN_CERTIFICATE*>(bytes.data());
  if (certificate->wCertificateType != WIN_CERT_TYPE_PKCS_SIGNED_DATA ||
      certificate->dwLength > bytes.size() || certificate->dwLength < sizeof(WIN_CERTIFICATE)) {
    return false;
  }
  CRYPT_DATA_BLOB pkcs7 = {
      static_cast<DWORD>(certificate->dwLength - offsetof(WIN_CERTIFICATE, bCertificate)),
      const_cast<BYTE*>(certificate->bCertificate)};
  if (!::CryptQueryObject(CERT_QUERY_OBJECT_BLOB, &pkcs7, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr,
                          signer->store.put(), signer->message.put(), nullptr)) {
    return false;
  }
  std::vector<unsigned char> buffer;
  const HCRYPTMSG message = signer->message.get();
  const auto query_signer = [message](unsigned char* bytes, unsigned long* size) {
    DWORD length = *size;
    const bool read = ::CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, bytes, &length) != 0;
    *size = length;
    return read && bytes != nullptr;
  };
  if (!QueryGrowingBytes(query_signer, &buffer, kMaxSignatureBytes) ||
      buffer.size() < sizeof(CMSG_SIGNER_INFO)) {
    return false;
  }
  const CMSG_SIGNER_INFO* info = reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data());
  CERT_INFO wanted = {};
  wanted.Issuer = info->Issuer;
  wanted.SerialNumber = info->SerialNumber;
  signer->cert.reset(::CertFindCertificateInStore(signer->store.get(),
                                                  X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                  CERT_FIND_SUBJECT_CERT, &wanted, nullptr));
  return static_cast<bool>(signer->cert);
}

// The first signer judged before anything is hashed and before WinVerifyTrust is asked: its chain,
// built from the signature's own certificates and this machine's stores alone (no URL fetched, no
// issuer looked up on the network), must reach a trusted root intact, and its subject must name
// the publisher. A signer whose issuer is left out of the signature would otherwise send the
// chain engine, as LocalSystem, to whatever addresses its certificate names.
SignerVerdict JudgeSignerOffline(HANDLE file) {
  EmbeddedSigner signer;
  if (!ReadEmbeddedSigner(file, &signer)) return SignerVerdict::kBadSignature;
  CERT_CHAIN_PARA parameters = {};
  parameters.cbSize = sizeof(parameters);
  UniqueChainContext chain;
  if (!::CertGetCertificateChain(
          nullptr, signer.cert.get(), nullptr, signer.store.get(), &parameters,
          CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL | CERT_CHAIN_DISABLE_AIA, nullptr, chain.put()) ||
      !IsChainTrusted(chain.get()->TrustStatus.dwErrorStatus)) {
    return SignerVerdict::kBadSignature;
  }
  return SubjectNamesPublisher(signer.cert.get()) ? SignerVerdict::kAccepted
                                                  : SignerVerdict::kWrongPublisher;
}

// The verdict on an open file: a valid embedded signature whose chain reaches a trusted root
// intact (WinVerifyTrust alone accepts an untrusted root under some verifiers, so the chain it
// built is judged too), signed by the publisher. Writes the reason of a refusal.
bool JudgeOpenFile(const wchar_t* path, HANDLE file, Reason* reason) {
  const SignerVerdict offline = JudgeSignerOffline(file);
  if (offline != SignerVerdict::kAccepted) {
    reason->Set("%s", offline == SignerVerdict::kWrongPublisher ? kReasonWrongPublisher
                                                                : kReasonBadSignature);
    return false;
  }
  const TrustVerification verification(path, file);
  const CRYPT_PROVIDER_SGNR* signer = verification.passed() ? verification.signer() : nullptr;
  if (!verification.passed() ||
      (signer != nullptr && (signer->pChainContext == nullptr ||
                             !IsChainTrusted(signer->pChainContext->TrustStatus.dwErrorStatus)))) {
    reason->Set("%s", kReasonBadSignature);
    return false;
  }
  if (signer == nullptr || signer->csCertChain == 0 || signer->pasCertChain == nullptr ||
      !SubjectNamesPublisher(signer->pasCertChain[0].pCert)) {
    reason->Set("%s", kReasonWrongPublisher);
    return false;
  }
  return true;
}

}  // namespace

bool VerifyFileSignature(const wchar_t* path, Reason* reason) {
  if (path == nullptr || path[0] == L'\0') {
    reason->Set("%s", kReasonEmptyPath);
    return false;
  }
  const UniqueHandle file = OpenForCheck(path);
  if (!file) {
    reason->Set("%s", kReasonBadSignature);
    return false;
  }
  return JudgeOpenFile(path, file.get(), reason);
}

bool VerifyCallerSignature(const Caller& caller, Reason* reason, bool* refused_the_file) {
  if (refused_the_file != nullptr) *refused_the_file = false;
  if (caller.pid() == 0 || caller.process() == nullptr || caller.image().empty()) {
    reason->Set("%s", kReasonCallerUnresolved);
    return false;
  }
  // Only the process that opened the connection speaks for it: a pipe handle handed on to another
  // program after its opener ended, or a pid already taken by a newer process, is refused.
  const char* refusal = caller.HasEnded()                ? kReasonCallerEnded
                        : caller.IsNewerThanConnection() ? kReasonCallerNewer
                        // Judged on the name alone: opening a file on a share would reach its host.
                        : !IsOnLocalVolume(caller.native_image()) ? kReasonImageNotLocal
                                                                  : nullptr;
  if (refusal != nullptr) {
    reason->Set("caller %s", refusal);
    return false;
  }
  const UniqueHandle image = OpenForCheck(caller.image().c_str());
  const ImageMatch match = MatchMappedImage(caller, image.get());
  if (match == ImageMatch::kUnknown) {
    reason->Set("%s", kReasonCallerUnresolved);
    return false;
  }
  Reason inner;
  if (match == ImageMatch::kOtherFile) {
    inner.Set("%s", kReasonImageRenamed);
  } else if (JudgeOpenFile(caller.image().c_str(), image.get(), &inner)) {
    return true;
  } else if (refused_the_file != nullptr) {
    *refused_the_file = true;
  }
  reason->Set("caller %s", inner.c_str());
  return false;
}

bool IsCallerStillConnected(const Caller& caller, Reason* reason) {
  if (!caller.HasEnded()) return true;
  reason->Set("caller %s", kReasonCallerEnded);
  return false;
}

}  // namespace varnelo
