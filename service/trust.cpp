#include "service/trust.h"

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstring>
#include <cwchar>

#include "common/platform.h"
#include "common/reason.h"
#include "common/unique_resource.h"
#include "service/caller.h"
#include "service/caller_rules.h"
#include "service/service_log.h"
#include "service/trust_rules.h"

namespace varnelo {

const wchar_t kExpectedPublisher[] = L"Varnelo International Co., Ltd";

const char kReasonEmptyPath[] = "empty file path";
const char kReasonBadSignature[] = "file signature is invalid or missing";
const char kReasonWrongPublisher[] = "file signed by unexpected publisher";
const char kReasonCallerUnresolved[] = "cannot resolve caller exe path";
const char kReasonImageRenamed[] = "image is not the file its path names";

namespace {

constexpr char kReasonImageNotLocal[] = "image is not on a local volume";
constexpr size_t kInnerReasonSize = 128;
constexpr size_t kProbeReasonSize = 160;

// -1 unknown, 0 not enforced, 1 enforced. Written only on the pipe thread.
int32_t g_coreSignatureEnforcement = -1;

void CloseCertStore(HCERTSTORE store) { ::CertCloseStore(store, 0); }
using UniqueCertStore = UniqueResource<NullIsInvalidTraits<HCERTSTORE, &CloseCertStore>>;
using UniqueCryptMsg = UniqueResource<NullIsInvalidTraits<HCRYPTMSG, &::CryptMsgClose>>;
using UniqueCertContext =
    UniqueResource<NullIsInvalidTraits<PCCERT_CONTEXT, &::CertFreeCertificateContext>>;
using UniqueCertChain =
    UniqueResource<NullIsInvalidTraits<PCCERT_CHAIN_CONTEXT, &::CertFreeCertificateChain>>;

LONG RunWinVerifyTrust(const wchar_t* path) {
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof(file);
  file.pcwszFilePath = path;
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG result = ::WinVerifyTrust(nullptr, &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;  // releases the state whatever the verdict
  ::WinVerifyTrust(nullptr, &action, &data);
  return result;
}

FileIdentity IdentityOf(HANDLE file) {
  FileIdentity identity;
  BY_HANDLE_FILE_INFORMATION info = {};
  if (file == nullptr || file == INVALID_HANDLE_VALUE || !::GetFileInformationByHandle(file, &info)) {
    return identity;
  }
  identity.known = true;
  identity.volume = info.dwVolumeSerialNumber;
  identity.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return identity;
}

// Opens the file the caller's image path names, shared for reading only, so it can be neither
// renamed nor rewritten while the signature checks read it by that path. Returns it with the
// verdict on whether it is the file mapped as the caller's image.
UniqueHandle HoldCallerImage(const Caller& caller, ImageMatch* match) {
  UniqueHandle named(::CreateFileW(caller.image().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  const std::wstring mappedPath = caller.MappedImagePath();
  // Attribute-only access takes no part in sharing, so the running image always opens.
  const UniqueHandle mapped(
      mappedPath.empty()
          ? nullptr
          : ::CreateFileW(mappedPath.c_str(), FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  *match = MatchCallerImage(IdentityOf(named.get()), IdentityOf(mapped.get()));
  return named;
}


// The first signer's certificate of a file's embedded signature, with the signature's own
// certificates, which the chain is built from.
struct SignerCertificate {
  UniqueCertStore store;
  UniqueCertContext cert;
};

bool FindSignerCertificate(const wchar_t* path, SignerCertificate* signer) {
  UniqueCryptMsg message;
  if (!::CryptQueryObject(CERT_QUERY_OBJECT_FILE, path, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr,
                          signer->store.put(), message.put(), nullptr)) {
    return false;
  }
  DWORD signerInfoSize = 0;
  if (!::CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, nullptr, &signerInfoSize) ||
      signerInfoSize == 0) {
    return false;
  }
  UniqueLocal signerMemory(::LocalAlloc(LPTR, signerInfoSize));
  if (!signerMemory || !::CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0,
                                           signerMemory.get(), &signerInfoSize)) {
    return false;
  }
  const CMSG_SIGNER_INFO* info = static_cast<const CMSG_SIGNER_INFO*>(signerMemory.get());
  CERT_INFO certInfo = {};
  certInfo.Issuer = info->Issuer;
  certInfo.SerialNumber = info->SerialNumber;
  signer->cert.reset(::CertFindCertificateInStore(signer->store.get(),
                                                  X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                  CERT_FIND_SUBJECT_CERT, &certInfo, nullptr));
  return static_cast<bool>(signer->cert);
}

bool SubjectNamesPublisher(PCCERT_CONTEXT cert) {
  const DWORD nameLength = ::CertGetNameStringW(cert, CERT_NAME_RDN_TYPE, 0, nullptr, nullptr, 0);
  if (nameLength <= 1) return false;
  std::wstring name(nameLength, L'\0');
  ::CertGetNameStringW(cert, CERT_NAME_RDN_TYPE, 0, nullptr, &name[0], nameLength);
  return std::wcsstr(name.c_str(), kExpectedPublisher) != nullptr;
}

// WinVerifyTrust already refuses an untrusted root on Windows; this judges the chain itself
// too, so the refusal does not rest on one verifier.
bool IsSignerChainTrusted(const SignerCertificate& signer) {
  CERT_CHAIN_PARA parameters = {};
  parameters.cbSize = sizeof(parameters);
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!::CertGetCertificateChain(nullptr, signer.cert.get(), nullptr, signer.store.get(),
                                 &parameters, 0, nullptr, &chain)) {
    return false;
  }
  const UniqueCertChain owned(chain);
  return IsChainTrusted(chain->TrustStatus.dwErrorStatus);
}

}  // namespace

bool SignerMatchesPublisher(const wchar_t* path) {
  SignerCertificate signer;
  return FindSignerCertificate(path, &signer) && SubjectNamesPublisher(signer.cert.get());
}

bool VerifyFileSignature(const wchar_t* path, char* reason, size_t size) {
  if (path == nullptr || path[0] == L'\0') {
    WriteReason(reason, size, "%s", kReasonEmptyPath);
    return false;
  }
  SignerCertificate signer;
  if (RunWinVerifyTrust(path) != 0 ||
      (FindSignerCertificate(path, &signer) && !IsSignerChainTrusted(signer))) {
    WriteReason(reason, size, "%s", kReasonBadSignature);
    return false;
  }
  if (!signer.cert || !SubjectNamesPublisher(signer.cert.get())) {
    WriteReason(reason, size, "%s", kReasonWrongPublisher);
    return false;
  }
  return true;
}

bool VerifyCallerSignature(const Caller& caller, char* reason, size_t size) {
  if (caller.pid() == 0 || caller.process() == nullptr || caller.image().empty()) {
    WriteReason(reason, size, "%s", kReasonCallerUnresolved);
    return false;
  }
  char inner[kInnerReasonSize] = {};
  // Judged on the name alone: opening a file on a share would already reach its host.
  if (!IsOnLocalVolume(caller.nativeImage())) {
    WriteReason(reason, size, "caller %s", kReasonImageNotLocal);
    return false;
  }
  ImageMatch match = ImageMatch::kUnknown;
  const UniqueHandle heldImage = HoldCallerImage(caller, &match);
  if (match == ImageMatch::kUnknown) {
    WriteReason(reason, size, "%s", kReasonCallerUnresolved);
    return false;
  }
  if (match == ImageMatch::kOtherFile) {
    WriteReason(inner, sizeof(inner), "%s", kReasonImageRenamed);
  } else if (VerifyFileSignature(caller.image().c_str(), inner, sizeof(inner))) {
    return true;
  }
  WriteReason(reason, size, "caller %s", inner);
  return false;
}

bool IsCoreSignatureEnforced() {
  if (g_coreSignatureEnforcement != -1) return g_coreSignatureEnforcement == 1;
  const std::wstring self = GetOwnModulePath();
  char reason[kProbeReasonSize] = {};
  if (!self.empty() && VerifyFileSignature(self.c_str(), reason, sizeof(reason))) {
    g_coreSignatureEnforcement = 1;
    return true;
  }
  g_coreSignatureEnforcement = 0;
  ServiceLog("core signature enforcement disabled: service binary is not Varnelo-signed (%s)",
             reason[0] != '\0' ? reason : "cannot resolve service image");
  return false;
}

}  // namespace varnelo
