// Keys in PKCS#11 tokens through p11-kit: URI parsing, module loading, login, signing and key
// generation. What is trusted where is in pkcs11.h.
#include <p11-kit/p11-kit.h>
#include <p11-kit/pkcs11.h>
#include <p11-kit/uri.h>

#include <cryptopp/osrng.h>
#include <cryptopp/sha.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>

#include "author/pkcs11.h"
#include "os/file_ops.h"

namespace ztpack {
namespace {

using support::Errorf;

// The PKCS#11 return values a person meets, in words.
std::string RvText(CK_RV rv) {
  struct Known {
    CK_RV rv;
    const char* name;
    const char* words;
  };
  static constexpr Known kKnown[] = {
      {CKR_PIN_INCORRECT, "CKR_PIN_INCORRECT", "the PIN is wrong"},
      {CKR_PIN_LOCKED, "CKR_PIN_LOCKED", "the PIN is locked after too many wrong tries"},
      {CKR_PIN_EXPIRED, "CKR_PIN_EXPIRED", "the PIN has expired"},
      {CKR_PIN_INVALID, "CKR_PIN_INVALID", "the PIN holds characters the token refuses"},
      {CKR_PIN_LEN_RANGE, "CKR_PIN_LEN_RANGE", "the PIN is too long or too short"},
      {CKR_USER_PIN_NOT_INITIALIZED, "CKR_USER_PIN_NOT_INITIALIZED", "the token has no user PIN"},
      {CKR_USER_NOT_LOGGED_IN, "CKR_USER_NOT_LOGGED_IN", "not logged in to the token"},
      {CKR_TOKEN_NOT_PRESENT, "CKR_TOKEN_NOT_PRESENT", "no token in the slot"},
      {CKR_TOKEN_NOT_RECOGNIZED, "CKR_TOKEN_NOT_RECOGNIZED", "the token is not recognised"},
      {CKR_TOKEN_WRITE_PROTECTED, "CKR_TOKEN_WRITE_PROTECTED", "the token is write-protected"},
      {CKR_SLOT_ID_INVALID, "CKR_SLOT_ID_INVALID", "no such slot"},
      {CKR_DEVICE_ERROR, "CKR_DEVICE_ERROR", "the device failed"},
      {CKR_DEVICE_MEMORY, "CKR_DEVICE_MEMORY", "the token's memory is full"},
      {CKR_DEVICE_REMOVED, "CKR_DEVICE_REMOVED", "the token was removed"},
      {CKR_MECHANISM_INVALID, "CKR_MECHANISM_INVALID", "the token does not offer the mechanism"},
      {CKR_MECHANISM_PARAM_INVALID, "CKR_MECHANISM_PARAM_INVALID", "bad mechanism parameter"},
      {CKR_KEY_TYPE_INCONSISTENT, "CKR_KEY_TYPE_INCONSISTENT",
       "the key does not suit the mechanism"},
      {CKR_KEY_FUNCTION_NOT_PERMITTED, "CKR_KEY_FUNCTION_NOT_PERMITTED", "the key may not sign"},
      {CKR_KEY_HANDLE_INVALID, "CKR_KEY_HANDLE_INVALID", "the key is gone"},
      {CKR_KEY_SIZE_RANGE, "CKR_KEY_SIZE_RANGE", "the token does not take keys of that size"},
      {CKR_DATA_LEN_RANGE, "CKR_DATA_LEN_RANGE", "the data are too long for the key"},
      {CKR_SESSION_HANDLE_INVALID, "CKR_SESSION_HANDLE_INVALID", "the session is gone"},
      {CKR_SESSION_READ_ONLY, "CKR_SESSION_READ_ONLY", "the session is read-only"},
      {CKR_OPERATION_ACTIVE, "CKR_OPERATION_ACTIVE", "another operation is active"},
      {CKR_ATTRIBUTE_SENSITIVE, "CKR_ATTRIBUTE_SENSITIVE", "the attribute is secret"},
      {CKR_ATTRIBUTE_TYPE_INVALID, "CKR_ATTRIBUTE_TYPE_INVALID", "no such attribute"},
      {CKR_ATTRIBUTE_VALUE_INVALID, "CKR_ATTRIBUTE_VALUE_INVALID", "an attribute value is refused"},
      {CKR_TEMPLATE_INCOMPLETE, "CKR_TEMPLATE_INCOMPLETE", "the key template is incomplete"},
      {CKR_TEMPLATE_INCONSISTENT, "CKR_TEMPLATE_INCONSISTENT", "the key template is refused"},
      {CKR_FUNCTION_NOT_SUPPORTED, "CKR_FUNCTION_NOT_SUPPORTED", "the module lacks the function"},
      {CKR_FUNCTION_FAILED, "CKR_FUNCTION_FAILED", "the function failed"},
      {CKR_GENERAL_ERROR, "CKR_GENERAL_ERROR", "the module failed"},
      {CKR_HOST_MEMORY, "CKR_HOST_MEMORY", "out of memory"},
      {CKR_ARGUMENTS_BAD, "CKR_ARGUMENTS_BAD", "bad arguments"},
      {CKR_CRYPTOKI_NOT_INITIALIZED, "CKR_CRYPTOKI_NOT_INITIALIZED", "the module is not set up"},
      {CKR_BUFFER_TOO_SMALL, "CKR_BUFFER_TOO_SMALL", "the buffer is too small"},
  };
  for (const Known& known : kKnown) {
    if (known.rv == rv) return std::string(known.name) + " (" + known.words + ")";
  }
  char text[40];
  std::snprintf(text, sizeof text, "CKR 0x%lx", static_cast<unsigned long>(rv));
  return text;
}

// A fixed-width, blank-padded field of the token or module info.
std::string Padded(const unsigned char* field, size_t size) {
  std::string text(reinterpret_cast<const char*>(field), size);
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

// The modules a URI is looked up in; finalised and released with the last key that uses them.
class Modules {
 public:
  ~Modules() {
    if (configured_ != nullptr) p11_kit_modules_finalize_and_release(configured_);
    if (single_ != nullptr) {
      p11_kit_module_finalize(single_);
      p11_kit_module_release(single_);
    }
  }

  static support::Result<std::shared_ptr<Modules>> Load(const std::string& path) {
    auto modules = std::make_shared<Modules>();
    if (path.empty()) {
      modules->configured_ = p11_kit_modules_load_and_initialize(0);
      if (modules->configured_ == nullptr) {
        const char* why = p11_kit_message();
        return Errorf("loading p11-kit's configured PKCS#11 modules failed: %s",
                      why != nullptr ? why : "no reason given");
      }
      for (CK_FUNCTION_LIST** m = modules->configured_; *m != nullptr; ++m) {
        modules->list_.push_back(*m);
      }
      if (modules->list_.empty()) {
        return Errorf(
            "p11-kit has no PKCS#11 module configured: name one with --pkcs11-module, "
            "the manifest's [pkcs11] module or the URI's module-path");
      }
      return modules;
    }
    // A bare name is a module of p11-kit's module directory, where p11-kit looks for it; never
    // a file of the current directory, which may be anyone's (a download folder, a checkout).
    // A relative path with a slash names a file from the current directory, as everywhere.
    const bool bare = path.find('/') == std::string::npos;
    std::string full = path;
    std::error_code ec;
    if (!bare && std::filesystem::exists(fileops::U8Path(path), ec)) {
      if (!fileops::RawFile::Open(path, fileops::RawFile::Mode::kRead).IsOpen()) {
        return Errorf("PKCS#11 module %s: %s", path.c_str(), fileops::LastErrorText().c_str());
      }
      full = fileops::U8String(std::filesystem::absolute(fileops::U8Path(path), ec));
    }
    modules->single_ = p11_kit_module_load(full.c_str(), 0);
    if (modules->single_ == nullptr) {
      const char* why = p11_kit_message();
      return Errorf("%s is not a PKCS#11 module that loads%s: %s", path.c_str(),
                    bare ? " (a name without a slash is looked up in p11-kit's module "
                           "directory " ZT_P11_MODULE_PATH ", never the current one)"
                         : "",
                    why != nullptr ? why : "no reason given");
    }
    CK_RV rv = p11_kit_module_initialize(modules->single_);
    if (rv != CKR_OK) {
      p11_kit_module_release(modules->single_);
      modules->single_ = nullptr;
      return Errorf("PKCS#11 module %s: C_Initialize failed: %s", path.c_str(), RvText(rv).c_str());
    }
    modules->list_.push_back(modules->single_);
    return modules;
  }

  const std::vector<CK_FUNCTION_LIST*>& list() const { return list_; }

 private:
  CK_FUNCTION_LIST** configured_ = nullptr;
  CK_FUNCTION_LIST* single_ = nullptr;
  std::vector<CK_FUNCTION_LIST*> list_;
};

struct UriDeleter {
  void operator()(P11KitUri* uri) const { p11_kit_uri_free(uri); }
};
using Uri = std::unique_ptr<P11KitUri, UriDeleter>;

// `given` parsed; `text` is the URI as messages show it (Pkcs11UriForMessages).
support::Result<Uri> ParseUri(const std::string& given, const std::string& text) {
  Uri uri(p11_kit_uri_new());
  int rc = p11_kit_uri_parse(given.c_str(), P11_KIT_URI_FOR_ANY, uri.get());
  if (rc != P11_KIT_URI_OK) {
    return Errorf("%s: not a PKCS#11 URI: %s", text.c_str(), p11_kit_uri_message(rc));
  }
  if (p11_kit_uri_any_unrecognized(uri.get())) {
    return Errorf("%s: the URI holds attributes this tool does not know", text.c_str());
  }
  if (p11_kit_uri_get_pin_value(uri.get()) != nullptr) {
    return Errorf(
        "%s: the URI carries the PIN itself (pin-value); give it with "
        "pin-source=file:PATH or $ZTPACK_PKCS11_PIN, never on a command line",
        text.c_str());
  }
  return uri;
}

// The PIN for logging in, or nullopt when none is given. Never part of a message.
support::Result<std::optional<std::string>> FindPin(P11KitUri* uri, const std::string& text) {
  if (const char* source = p11_kit_uri_get_pin_source(uri)) {
    auto pin = ReadPinSource(source);
    if (!pin) return Errorf("%s: %s", text.c_str(), pin.error().c_str());
    return std::optional<std::string>(std::move(*pin));
  }
  if (const char* env = std::getenv("ZTPACK_PKCS11_PIN"); env != nullptr && *env != '\0') {
    return std::optional<std::string>(env);
  }
  return std::optional<std::string>();
}

struct Token {
  CK_FUNCTION_LIST* f = nullptr;
  CK_SLOT_ID slot = 0;
  CK_TOKEN_INFO info{};
  std::string label;
};

// The one initialised token the URI's module, slot and token attributes match.
support::Result<Token> FindToken(const Modules& modules, P11KitUri* uri, const std::string& text) {
  std::vector<Token> matches;
  std::vector<std::string> seen;
  const CK_SLOT_ID wantedSlot = p11_kit_uri_get_slot_id(uri);
  for (CK_FUNCTION_LIST* f : modules.list()) {
    CK_INFO info;
    if (f->C_GetInfo(&info) != CKR_OK || !p11_kit_uri_match_module_info(uri, &info)) continue;
    CK_ULONG count = 0;
    CK_RV rv = f->C_GetSlotList(CK_TRUE, nullptr, &count);
    if (rv != CKR_OK)
      return Errorf("%s: listing the slots failed: %s", text.c_str(), RvText(rv).c_str());
    std::vector<CK_SLOT_ID> slots(count);
    rv = f->C_GetSlotList(CK_TRUE, slots.data(), &count);
    if (rv != CKR_OK)
      return Errorf("%s: listing the slots failed: %s", text.c_str(), RvText(rv).c_str());
    slots.resize(count);
    for (CK_SLOT_ID slot : slots) {
      Token token{f, slot, {}, {}};
      if (f->C_GetTokenInfo(slot, &token.info) != CKR_OK) continue;
      if ((token.info.flags & CKF_TOKEN_INITIALIZED) == 0) continue;
      token.label = Padded(token.info.label, sizeof token.info.label);
      seen.push_back("\"" + token.label + "\"");
      CK_SLOT_INFO slotInfo;
      if (wantedSlot != static_cast<CK_SLOT_ID>(-1) && wantedSlot != slot) continue;
      if (f->C_GetSlotInfo(slot, &slotInfo) != CKR_OK ||
          !p11_kit_uri_match_slot_info(uri, &slotInfo) ||
          !p11_kit_uri_match_token_info(uri, &token.info)) {
        continue;
      }
      matches.push_back(token);
    }
  }
  std::string present;
  for (const std::string& label : seen) present += (present.empty() ? "" : ", ") + label;
  if (matches.empty()) {
    return Errorf("%s: no token matches (tokens present: %s)", text.c_str(),
                  present.empty() ? "none" : present.c_str());
  }
  if (matches.size() > 1) {
    return Errorf("%s: %zu tokens match (%s); name one with token=", text.c_str(), matches.size(),
                  present.c_str());
  }
  return matches.front();
}

// A session on the token; closed when it goes.
class Session {
 public:
  Session() = default;
  Session(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE handle) : f_(f), handle_(handle) {}
  Session(Session&& other) noexcept { *this = std::move(other); }
  Session& operator=(Session&& other) noexcept {
    std::swap(f_, other.f_);
    std::swap(handle_, other.handle_);
    return *this;
  }
  ~Session() {
    if (f_ != nullptr) f_->C_CloseSession(handle_);
  }
  static support::Result<Session> Open(const Token& token, bool write) {
    CK_SESSION_HANDLE handle;
    CK_FLAGS flags = CKF_SERIAL_SESSION | (write ? CKF_RW_SESSION : 0);
    CK_RV rv = token.f->C_OpenSession(token.slot, flags, nullptr, nullptr, &handle);
    if (rv != CKR_OK) {
      return Errorf("token \"%s\": opening a session failed: %s", token.label.c_str(),
                    RvText(rv).c_str());
    }
    return Session(token.f, handle);
  }
  CK_SESSION_HANDLE handle() const { return handle_; }

 private:
  CK_FUNCTION_LIST* f_ = nullptr;
  CK_SESSION_HANDLE handle_ = 0;
};

support::Status Login(const Token& token, const Session& session, P11KitUri* uri,
                      const std::string& text) {
  auto pin = FindPin(uri, text);
  if (!pin) return pin.takeError();
  CK_RV rv;
  if (pin->has_value()) {
    std::string& value = **pin;
    rv = token.f->C_Login(session.handle(), CKU_USER,
                          reinterpret_cast<CK_UTF8CHAR_PTR>(value.data()), value.size());
    std::fill(value.begin(), value.end(), '\0');
  } else if (token.info.flags & CKF_PROTECTED_AUTHENTICATION_PATH) {
    rv = token.f->C_Login(session.handle(), CKU_USER, nullptr, 0);  // the reader's own keypad
  } else if (token.info.flags & CKF_LOGIN_REQUIRED) {
    return Errorf(
        "%s: token \"%s\" needs a PIN: give pin-source=file:PATH in the URI or set "
        "$ZTPACK_PKCS11_PIN",
        text.c_str(), token.label.c_str());
  } else {
    return {};
  }
  if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) {
    return Errorf("%s: login to token \"%s\" failed: %s", text.c_str(), token.label.c_str(),
                  RvText(rv).c_str());
  }
  return {};
}

support::Result<std::vector<CK_OBJECT_HANDLE>> FindObjects(const Token& token,
                                                           const Session& session,
                                                           std::vector<CK_ATTRIBUTE> attributes) {
  CK_RV rv = token.f->C_FindObjectsInit(session.handle(), attributes.data(), attributes.size());
  if (rv != CKR_OK) return Errorf("searching the token failed: %s", RvText(rv).c_str());
  std::vector<CK_OBJECT_HANDLE> found;
  for (;;) {
    CK_OBJECT_HANDLE batch[16];
    CK_ULONG got = 0;
    rv = token.f->C_FindObjects(session.handle(), batch, 16, &got);
    if (rv != CKR_OK || got == 0) break;
    found.insert(found.end(), batch, batch + got);
  }
  token.f->C_FindObjectsFinal(session.handle());
  if (rv != CKR_OK) return Errorf("searching the token failed: %s", RvText(rv).c_str());
  return found;
}

support::Result<std::string> GetAttribute(const Token& token, const Session& session,
                                          CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
  CK_ATTRIBUTE attribute{type, nullptr, 0};
  CK_RV rv = token.f->C_GetAttributeValue(session.handle(), object, &attribute, 1);
  if (rv != CKR_OK) return Errorf("%s", RvText(rv).c_str());
  if (attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION) return Errorf("unavailable");
  std::string value(attribute.ulValueLen, '\0');
  attribute.pValue = value.data();
  rv = token.f->C_GetAttributeValue(session.handle(), object, &attribute, 1);
  if (rv != CKR_OK) return Errorf("%s", RvText(rv).c_str());
  value.resize(attribute.ulValueLen);
  return value;
}

CryptoPP::Integer BigEndian(const std::string& bytes) {
  return CryptoPP::Integer(reinterpret_cast<const CryptoPP::byte*>(bytes.data()), bytes.size());
}

// The public half from the object's CKA_MODULUS and CKA_PUBLIC_EXPONENT.
support::Result<RsaPublicKey> PublicHalf(const Token& token, const Session& session,
                                         CK_OBJECT_HANDLE object) {
  auto modulus = GetAttribute(token, session, object, CKA_MODULUS);
  if (!modulus) return modulus.takeError();
  auto exponent = GetAttribute(token, session, object, CKA_PUBLIC_EXPONENT);
  if (!exponent) return exponent.takeError();
  RsaPublicKey key;
  key.Initialize(BigEndian(*modulus), BigEndian(*exponent));
  return key;
}

bool HasSignMechanism(const Token& token, CK_MECHANISM_TYPE type,
                      const std::vector<CK_MECHANISM_TYPE>& listed) {
  if (std::find(listed.begin(), listed.end(), type) == listed.end()) return false;
  CK_MECHANISM_INFO info;
  return token.f->C_GetMechanismInfo(token.slot, type, &info) == CKR_OK &&
         (info.flags & CKF_SIGN) != 0;
}

// DER DigestInfo of SHA-1 in front of the 20-byte digest (PKCS #1 v1.5).
constexpr uint8_t kSha1DigestInfo[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                       0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};

class TokenKey;

class TokenOperation : public SignatureOperation {
 public:
  explicit TokenOperation(std::shared_ptr<const TokenKey> key);
  void Update(const uint8_t* data, size_t length) override;
  support::Result<std::string> Finish() override;

 private:
  std::shared_ptr<const TokenKey> key_;
  Session session_;
  std::string error_;  // the first failure; reported by Finish
  CryptoPP::SHA1 sha1_;
  bool finished_ = false;
};

class TokenKey : public KeyHolder, public std::enable_shared_from_this<TokenKey> {
 public:
  std::shared_ptr<Modules> modules;
  Token token;
  Session login;  // kept open: the login lasts while a session of the token is open
  CK_OBJECT_HANDLE object = 0;
  bool directSha1 = false;  // CKM_SHA1_RSA_PKCS; else CKM_RSA_PKCS over the DigestInfo
  RsaPublicKey pub;
  std::string text;

  const RsaPublicKey& publicKey() const override { return pub; }
  const std::string& description() const override { return text; }
  std::unique_ptr<SignatureOperation> Start() const override {
    return std::make_unique<TokenOperation>(shared_from_this());
  }
};

TokenOperation::TokenOperation(std::shared_ptr<const TokenKey> key) : key_(std::move(key)) {
  // A session of its own, so that signatures may overlap.
  auto session = Session::Open(key_->token, false);
  if (!session) {
    error_ = session.error();
    return;
  }
  session_ = std::move(*session);
  if (key_->directSha1) {
    CK_MECHANISM mechanism{CKM_SHA1_RSA_PKCS, nullptr, 0};
    CK_RV rv = key_->token.f->C_SignInit(session_.handle(), &mechanism, key_->object);
    if (rv != CKR_OK) error_ = "C_SignInit with CKM_SHA1_RSA_PKCS failed: " + RvText(rv);
  }
}

void TokenOperation::Update(const uint8_t* data, size_t length) {
  if (!error_.empty() || finished_ || length == 0) return;
  sha1_.Update(data, length);
  if (!key_->directSha1) return;
  // C_SignUpdate takes a CK_ULONG length and a non-const pointer.
  while (length > 0) {
    const size_t piece = std::min<size_t>(length, 1u << 30);
    CK_RV rv = key_->token.f->C_SignUpdate(session_.handle(), const_cast<CK_BYTE_PTR>(data), piece);
    if (rv != CKR_OK) {
      error_ = "C_SignUpdate failed: " + RvText(rv);
      return;
    }
    data += piece;
    length -= piece;
  }
}

support::Result<std::string> TokenOperation::Finish() {
  if (finished_) return Errorf("signer used after Finish");
  finished_ = true;
  const std::string& what = key_->text;
  if (!error_.empty()) return Errorf("%s: signing failed: %s", what.c_str(), error_.c_str());
  uint8_t digest[CryptoPP::SHA1::DIGESTSIZE];
  sha1_.Final(digest);
  const size_t k = key_->pub.GetModulus().ByteCount();
  std::string signature(k, '\0');
  CK_ULONG length = k;
  CK_FUNCTION_LIST* f = key_->token.f;
  std::string digestInfo(reinterpret_cast<const char*>(kSha1DigestInfo), sizeof kSha1DigestInfo);
  digestInfo.append(reinterpret_cast<const char*>(digest), sizeof digest);
  CK_RV rv;
  if (key_->directSha1) {
    rv =
        f->C_SignFinal(session_.handle(), reinterpret_cast<CK_BYTE_PTR>(signature.data()), &length);
  } else {
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    rv = f->C_SignInit(session_.handle(), &mechanism, key_->object);
    if (rv == CKR_OK) {
      rv = f->C_Sign(session_.handle(), reinterpret_cast<CK_BYTE_PTR>(digestInfo.data()),
                     digestInfo.size(), reinterpret_cast<CK_BYTE_PTR>(signature.data()), &length);
    }
  }
  if (rv != CKR_OK) {
    return Errorf("%s: signing with %s failed: %s", what.c_str(),
                  key_->directSha1 ? "CKM_SHA1_RSA_PKCS" : "CKM_RSA_PKCS", RvText(rv).c_str());
  }
  // The check: s^e mod n must be 00 01 FF..FF 00 DigestInfo, exactly k bytes.
  bool good = length == k;
  if (good) {
    const CryptoPP::Integer s = BigEndian(signature);
    good = s < key_->pub.GetModulus();
    if (good) {
      std::string encoded(k, '\xff');
      encoded[0] = '\0';
      encoded[1] = '\x01';
      encoded[k - digestInfo.size() - 1] = '\0';
      encoded.replace(k - digestInfo.size(), digestInfo.size(), digestInfo);
      good = key_->pub.ApplyFunction(s) == BigEndian(encoded);
    }
  }
  if (!good) {
    return Errorf(
        "%s: the token returned a signature that its own public key does not verify; "
        "it is not used",
        what.c_str());
  }
  return signature;
}

// Token, login and the read-write or read-only session for a URI.
struct Opened {
  std::shared_ptr<Modules> modules;
  Token token;
  Session session;
};

support::Result<Opened> OpenToken(P11KitUri* uri, const std::string& text,
                                  const Pkcs11Options& options, bool write) {
  std::string module = options.module;
  if (module.empty()) {
    if (const char* path = p11_kit_uri_get_module_path(uri)) module = path;
  }
  auto modules = Modules::Load(module);
  if (!modules) return modules.takeError();
  auto token = FindToken(**modules, uri, text);
  if (!token) return token.takeError();
  auto session = Session::Open(*token, write);
  if (!session) return Errorf("%s: %s", text.c_str(), session.error().c_str());
  if (auto s = Login(*token, *session, uri, text); !s) return s.takeError();
  return Opened{std::move(*modules), std::move(*token), std::move(*session)};
}

// The URI's object attributes (object, id, type) as a search template.
std::vector<CK_ATTRIBUTE> ObjectTemplate(P11KitUri* uri) {
  CK_ULONG count = 0;
  CK_ATTRIBUTE_PTR attributes = p11_kit_uri_get_attributes(uri, &count);
  return std::vector<CK_ATTRIBUTE>(attributes, attributes + count);
}

// The search for the private key the URI names: its object attributes, with type=private added
// when it gives no type. The added attribute points at `privateClass`, which must outlive it.
support::Result<std::vector<CK_ATTRIBUTE>> PrivateKeyTemplate(P11KitUri* uri,
                                                              CK_OBJECT_CLASS* privateClass,
                                                              const std::string& text) {
  std::vector<CK_ATTRIBUTE> search = ObjectTemplate(uri);
  bool hasClass = false;
  for (const CK_ATTRIBUTE& a : search) {
    if (a.type != CKA_CLASS) continue;
    hasClass = true;
    if (a.ulValueLen != sizeof(CK_OBJECT_CLASS) ||
        *static_cast<const CK_OBJECT_CLASS*>(a.pValue) != CKO_PRIVATE_KEY) {
      return Errorf("%s: the URI names another type of object than a private key (type=private)",
                    text.c_str());
    }
  }
  *privateClass = CKO_PRIVATE_KEY;
  if (!hasClass) search.push_back({CKA_CLASS, privateClass, sizeof *privateClass});
  return search;
}

// The one private key of the token that the search matches.
support::Result<CK_OBJECT_HANDLE> FindPrivateKey(const Token& token, const Session& session,
                                                 const std::vector<CK_ATTRIBUTE>& search,
                                                 const std::string& text) {
  auto found = FindObjects(token, session, search);
  if (!found) return Errorf("%s: %s", text.c_str(), found.error().c_str());
  if (found->empty()) {
    return Errorf("%s: token \"%s\" holds no private key that the URI names", text.c_str(),
                  token.label.c_str());
  }
  if (found->size() > 1) {
    return Errorf("%s: %zu private keys in token \"%s\" match; name one with object= or id=",
                  text.c_str(), found->size(), token.label.c_str());
  }
  return found->front();
}

// Refuses a key that is not RSA, or that the token says may not sign; a token that does not
// tell whether the key may sign is left to refuse the signing itself.
support::Status CheckRsaSigner(const Token& token, const Session& session, CK_OBJECT_HANDLE object,
                               const std::string& text) {
  auto keyType = GetAttribute(token, session, object, CKA_KEY_TYPE);
  if (!keyType || keyType->size() != sizeof(CK_KEY_TYPE) ||
      *reinterpret_cast<const CK_KEY_TYPE*>(keyType->data()) != CKK_RSA) {
    return Errorf("%s: the key is not an RSA key", text.c_str());
  }
  auto canSign = GetAttribute(token, session, object, CKA_SIGN);
  if (canSign && canSign->size() == sizeof(CK_BBOOL) && (*canSign)[0] == CK_FALSE) {
    return Errorf("%s: the key may not sign (CKA_SIGN is false)", text.c_str());
  }
  return {};
}

// The public key objects that share the private key's CKA_ID; none when it has no readable id.
std::vector<CK_OBJECT_HANDLE> PublicKeysWithIdOf(const Token& token, const Session& session,
                                                 CK_OBJECT_HANDLE privateKey) {
  auto id = GetAttribute(token, session, privateKey, CKA_ID);
  if (!id) return {};
  CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY;
  auto matches = FindObjects(
      token, session,
      {{CKA_CLASS, &publicClass, sizeof publicClass}, {CKA_ID, id->data(), id->size()}});
  if (!matches) return {};
  return *matches;
}

// The private key's public half, read from the key object itself, else from the one public key
// object with its id: some tokens keep the public numbers there only.
support::Result<RsaPublicKey> ReadPublicHalf(const Token& token, const Session& session,
                                             CK_OBJECT_HANDLE privateKey, const std::string& text) {
  auto pub = PublicHalf(token, session, privateKey);
  if (pub) return *pub;
  const std::vector<CK_OBJECT_HANDLE> publics = PublicKeysWithIdOf(token, session, privateKey);
  if (publics.size() != 1) {
    return Errorf(
        "%s: the key's public half is unreadable (%s) and no single public key "
        "object has its id",
        text.c_str(), pub.error().c_str());
  }
  pub = PublicHalf(token, session, publics.front());
  if (!pub) {
    return Errorf("%s: the key's public half is unreadable: %s", text.c_str(), pub.error().c_str());
  }
  return *pub;
}

// The mechanisms the token's slot offers.
support::Result<std::vector<CK_MECHANISM_TYPE>> ListMechanisms(const Token& token,
                                                               const std::string& text) {
  CK_ULONG count = 0;
  std::vector<CK_MECHANISM_TYPE> mechanisms;
  CK_RV rv = token.f->C_GetMechanismList(token.slot, nullptr, &count);
  if (rv == CKR_OK) {
    mechanisms.resize(count);
    rv = token.f->C_GetMechanismList(token.slot, mechanisms.data(), &count);
    mechanisms.resize(count);
  }
  if (rv != CKR_OK) {
    return Errorf("%s: listing the token's mechanisms failed: %s", text.c_str(),
                  RvText(rv).c_str());
  }
  return mechanisms;
}

// True when the token signs with CKM_SHA1_RSA_PKCS, false when only with CKM_RSA_PKCS (over the
// DigestInfo that TokenOperation builds); an error when it signs with neither.
support::Result<bool> ChooseDirectSha1(const Token& token, const std::string& text) {
  auto mechanisms = ListMechanisms(token, text);
  if (!mechanisms) return mechanisms.takeError();
  const bool directSha1 = HasSignMechanism(token, CKM_SHA1_RSA_PKCS, *mechanisms);
  if (!directSha1 && !HasSignMechanism(token, CKM_RSA_PKCS, *mechanisms)) {
    return Errorf("%s: token \"%s\" signs with neither CKM_SHA1_RSA_PKCS nor CKM_RSA_PKCS",
                  text.c_str(), token.label.c_str());
  }
  return directSha1;
}

// The objects already labelled as a planned key, which the new keys replace; refused unless
// `replace` allows it.
support::Result<std::vector<CK_OBJECT_HANDLE>> FindObjectsToReplace(
    const Token& token, const Session& session, const std::vector<TokenKeyPlan>& plans,
    bool replace, const std::string& text) {
  std::vector<CK_OBJECT_HANDLE> old;
  for (const TokenKeyPlan& plan : plans) {
    std::string label = plan.label;
    auto found = FindObjects(token, session, {{CKA_LABEL, label.data(), label.size()}});
    if (!found) return Errorf("%s: %s", text.c_str(), found.error().c_str());
    if (!found->empty() && !replace) {
      return Errorf(
          "%s: token \"%s\" holds objects labelled \"%s\" already (--force replaces "
          "them)",
          text.c_str(), token.label.c_str(), label.c_str());
    }
    old.insert(old.end(), found->begin(), found->end());
  }
  return old;
}

// The public exponent as CKA_PUBLIC_EXPONENT takes it: big-endian, no leading zero bytes.
std::string ExponentBytes(unsigned long exponent) {
  std::string bytes;
  for (unsigned long e = exponent; e != 0; e >>= 8) {
    bytes.insert(bytes.begin(), static_cast<char>(e & 0xFF));
  }
  return bytes;
}

// Generates the plan's key pair on the token and returns its public half as DER. The new handles
// go to `made` as soon as they exist, so that the caller can remove them after any failure.
support::Result<std::string> MakeKeyPair(const Token& token, const Session& session,
                                         const TokenKeyPlan& plan,
                                         CryptoPP::RandomNumberGenerator& rng,
                                         const std::string& text,
                                         std::vector<CK_OBJECT_HANDLE>* made) {
  std::string label = plan.label;
  uint8_t id[8];
  rng.GenerateBlock(id, sizeof id);
  std::string exponent = ExponentBytes(plan.exponent);
  CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
  CK_ULONG bits = plan.bits;
  CK_ATTRIBUTE publicTemplate[] = {
      {CKA_TOKEN, &yes, sizeof yes},
      {CKA_PRIVATE, &no, sizeof no},
      {CKA_VERIFY, &yes, sizeof yes},
      {CKA_ENCRYPT, &no, sizeof no},
      {CKA_WRAP, &no, sizeof no},
      {CKA_MODULUS_BITS, &bits, sizeof bits},
      {CKA_PUBLIC_EXPONENT, exponent.data(), exponent.size()},
      {CKA_LABEL, label.data(), label.size()},
      {CKA_ID, id, sizeof id},
  };
  CK_ATTRIBUTE privateTemplate[] = {
      {CKA_TOKEN, &yes, sizeof yes},     {CKA_PRIVATE, &yes, sizeof yes},
      {CKA_SENSITIVE, &yes, sizeof yes}, {CKA_EXTRACTABLE, &no, sizeof no},
      {CKA_SIGN, &yes, sizeof yes},      {CKA_DECRYPT, &no, sizeof no},
      {CKA_UNWRAP, &no, sizeof no},      {CKA_LABEL, label.data(), label.size()},
      {CKA_ID, id, sizeof id},
  };
  CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE publicKey = 0, privateKey = 0;
  CK_RV rv = token.f->C_GenerateKeyPair(session.handle(), &mechanism, publicTemplate,
                                        std::size(publicTemplate), privateTemplate,
                                        std::size(privateTemplate), &publicKey, &privateKey);
  if (rv != CKR_OK) {
    return support::Error{text + ": generating the " + label + " key pair (" +
                          std::to_string(plan.bits) + " bits) failed: " + RvText(rv)};
  }
  made->push_back(publicKey);
  made->push_back(privateKey);
  auto pub = PublicHalf(token, session, publicKey);
  if (!pub)
    return support::Error{text + ": the new " + label +
                          " public key is unreadable: " + pub.error()};
  if (auto fit = CheckKeyFitness(*pub, plan.role, text + " (" + label + ")"); !fit) {
    return fit.takeError();
  }
  return PublicKeyDer(*pub);
}

// Removes the key objects made before a failure, so that the token is left as it was, and hands
// up the failure.
support::Error UndoKeyPairs(const Token& token, const Session& session,
                            const std::vector<CK_OBJECT_HANDLE>& made, const std::string& message) {
  for (CK_OBJECT_HANDLE object : made) token.f->C_DestroyObject(session.handle(), object);
  return Errorf("%s", message.c_str());
}

// Removes the objects the new keys replace.
support::Status RemoveReplacedObjects(const Token& token, const Session& session,
                                      const std::vector<CK_OBJECT_HANDLE>& old,
                                      const std::string& text) {
  for (CK_OBJECT_HANDLE object : old) {
    CK_RV rv = token.f->C_DestroyObject(session.handle(), object);
    if (rv != CKR_OK) {
      return Errorf(
          "%s: the new keys are made, but removing an old object with their label "
          "failed (%s): remove it, or a URI naming the label matches two keys",
          text.c_str(), RvText(rv).c_str());
    }
  }
  return {};
}

}  // namespace

bool HavePkcs11Support() { return true; }

support::Result<SigningKey> OpenTokenKey(const std::string& given, KeyRole role,
                                         const Pkcs11Options& options) {
  const std::string text = Pkcs11UriForMessages(given);
  auto uri = ParseUri(given, text);
  if (!uri) return uri.takeError();
  CK_OBJECT_CLASS privateClass;
  auto search = PrivateKeyTemplate(uri->get(), &privateClass, text);
  if (!search) return search.takeError();

  auto opened = OpenToken(uri->get(), text, options, false);
  if (!opened) return opened.takeError();
  auto key = std::make_shared<TokenKey>();
  key->modules = std::move(opened->modules);
  key->token = opened->token;
  key->login = std::move(opened->session);
  key->text = text;
  const Token& token = key->token;

  auto object = FindPrivateKey(token, key->login, *search, text);
  if (!object) return object.takeError();
  key->object = *object;
  if (auto rsa = CheckRsaSigner(token, key->login, key->object, text); !rsa) {
    return rsa.takeError();
  }
  auto pub = ReadPublicHalf(token, key->login, key->object, text);
  if (!pub) return pub.takeError();
  key->pub = *pub;
  if (auto fit = CheckKeyFitness(key->pub, role, text); !fit) return fit.takeError();
  auto directSha1 = ChooseDirectSha1(token, text);
  if (!directSha1) return directSha1.takeError();
  key->directSha1 = *directSha1;
  return SigningKey(std::shared_ptr<const KeyHolder>(std::move(key)));
}

support::Result<std::vector<std::string>> GenerateTokenKeys(const std::string& given,
                                                            const std::vector<TokenKeyPlan>& plans,
                                                            bool replace,
                                                            const Pkcs11Options& options,
                                                            bool* reached) {
  if (reached != nullptr) *reached = false;
  const std::string text = Pkcs11UriForMessages(given);
  auto uri = ParseUri(given, text);
  if (!uri) return uri.takeError();
  if (!ObjectTemplate(uri->get()).empty()) {
    return Errorf("%s: name the token only (no object, id or type): the keys are labelled %s",
                  text.c_str(), "root, bundle and setup");
  }
  auto opened = OpenToken(uri->get(), text, options, true);
  if (!opened) return opened.takeError();
  if (reached != nullptr) *reached = true;
  const Token& token = opened->token;
  const Session& session = opened->session;

  auto old = FindObjectsToReplace(token, session, plans, replace, text);
  if (!old) return old.takeError();
  std::vector<CK_OBJECT_HANDLE> made;
  std::vector<std::string> ders;
  CryptoPP::AutoSeededRandomPool rng;
  for (const TokenKeyPlan& plan : plans) {
    auto der = MakeKeyPair(token, session, plan, rng, text, &made);
    if (!der) return UndoKeyPairs(token, session, made, der.error());
    ders.push_back(std::move(*der));
  }
  // Only now that every new pair exists: a failure above left the old keys as they were.
  if (auto removed = RemoveReplacedObjects(token, session, *old, text); !removed) {
    return removed.takeError();
  }
  return ders;
}

}  // namespace ztpack
