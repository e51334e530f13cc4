// The PKCS #11 entry points: library, slot and token information, sessions,
// object search and attributes, signing and decryption. One slot holds one
// read-only token with the user's Tessera keys. Every entry point runs
// under one lock, so applications may call from several threads.
#include "Mechanisms.h"
#include "Token.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>

namespace tessera::pkcs11 {
namespace {

constexpr ck_slot_id_t kSlot = 0;

struct Session {
    ck_flags_t flags = 0;
    bool finding = false;
    std::vector<ck_object_handle_t> found;
    size_t cursor = 0;
    std::optional<Operation> sign;
    std::optional<Operation> decrypt;
};

struct State {
    bool initialized = false;
    bool loggedIn = false;
    Token token;
    std::map<ck_session_handle_t, Session> sessions;
    ck_session_handle_t nextSession = 1;
};

std::mutex g_mutex;
State g_state;

void Pad(unsigned char* field, size_t size, const char* text) {
    std::memset(field, ' ', size);
    std::memcpy(field, text, std::min(size, std::strlen(text)));
}

// The caller's session, or the error for a call that may not proceed.
ck_rv_t Lookup(ck_session_handle_t handle, Session*& session) {
    if (!g_state.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    auto found = g_state.sessions.find(handle);
    if (found == g_state.sessions.end()) return CKR_SESSION_HANDLE_INVALID;
    session = &found->second;
    return CKR_OK;
}

ck_rv_t CheckSlot(ck_slot_id_t slot) {
    if (!g_state.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    return slot == kSlot ? CKR_OK : CKR_SLOT_ID_INVALID;
}

// A session call that the read-only token refuses.
ck_rv_t ReadOnly(ck_session_handle_t handle) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Session* session = nullptr;
    ck_rv_t rv = Lookup(handle, session);
    return rv != CKR_OK ? rv : CKR_SESSION_READ_ONLY;
}

ck_rv_t NotSupported() { return CKR_FUNCTION_NOT_SUPPORTED; }

ck_rv_t InitOperation(ck_session_handle_t handle, ck_mechanism* mechanism, ck_object_handle_t key,
                      ck_attribute_type_t purpose) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Session* session = nullptr;
    if (ck_rv_t rv = Lookup(handle, session); rv != CKR_OK) return rv;
    auto& slot = purpose == CKA_SIGN ? session->sign : session->decrypt;
    if (slot) return CKR_OPERATION_ACTIVE;
    if (!mechanism) return CKR_ARGUMENTS_BAD;
    const Object* object = g_state.token.Find(key);
    if (!object) return CKR_KEY_HANDLE_INVALID;
    Operation op;
    if (ck_rv_t rv = StartOperation(*object, *mechanism, purpose, op); rv != CKR_OK) return rv;
    op.key = g_state.token.PrivateKey(key);
    if (!op.key) return CKR_KEY_HANDLE_INVALID;
    slot.emplace(std::move(op));
    return CKR_OK;
}

// Copies a result by the PKCS #11 length rules: a null buffer asks for the
// length, a short one gets CKR_BUFFER_TOO_SMALL and the length.
ck_rv_t CopyOut(const Bytes& bytes, unsigned char* out, unsigned long* length) {
    if (!out) {
        *length = bytes.size();
        return CKR_OK;
    }
    if (*length < bytes.size()) {
        *length = bytes.size();
        return CKR_BUFFER_TOO_SMALL;
    }
    if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
    *length = bytes.size();
    return CKR_OK;
}

// Ends a signature: the length query and a short buffer keep the operation.
ck_rv_t FinishSign(Session& session, unsigned char* signature, unsigned long* length) {
    Operation& op = *session.sign;
    const unsigned long needed = OutputLength(op);
    if (!signature || *length < needed) {
        *length = needed;
        return signature ? CKR_BUFFER_TOO_SMALL : CKR_OK;
    }
    Bytes result;
    ck_rv_t rv = SignData(op, op.data, result);
    if (rv == CKR_OK) rv = CopyOut(result, signature, length);
    session.sign.reset();
    return rv;
}

}  // namespace
}  // namespace tessera::pkcs11

using namespace tessera::pkcs11;

extern "C" {

ck_rv_t C_Initialize(void* initArgs) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (initArgs) {
        const auto* args = static_cast<const ck_c_initialize_args*>(initArgs);
        if (args->reserved) return CKR_ARGUMENTS_BAD;
        const int given = (args->create_mutex != nullptr) + (args->destroy_mutex != nullptr) +
                          (args->lock_mutex != nullptr) + (args->unlock_mutex != nullptr);
        if (given != 0 && given != 4) return CKR_ARGUMENTS_BAD;
        // Our own locks are the operating system's; an application that only
        // offers its own mutex functions cannot be served.
        if (given == 4 && !(args->flags & CKF_OS_LOCKING_OK)) return CKR_CANT_LOCK;
    }
    if (g_state.initialized) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    g_state.initialized = true;
    return CKR_OK;
}

ck_rv_t C_Finalize(void* reserved) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (reserved) return CKR_ARGUMENTS_BAD;
    if (!g_state.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    g_state.sessions.clear();
    g_state.loggedIn = false;
    g_state.initialized = false;
    return CKR_OK;
}

ck_rv_t C_GetInfo(ck_info* info) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_state.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (!info) return CKR_ARGUMENTS_BAD;
    std::memset(info, 0, sizeof *info);
    info->cryptoki_version = {2, 40};
    Pad(info->manufacturer_id, sizeof info->manufacturer_id, "Tessera");
    Pad(info->library_description, sizeof info->library_description, "Tessera key store");
    info->library_version = {3, 2};
    return CKR_OK;
}

ck_rv_t C_GetSlotList(unsigned char, ck_slot_id_t* slots, unsigned long* count) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_state.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (!count) return CKR_ARGUMENTS_BAD;
    if (slots && *count < 1) {
        *count = 1;
        return CKR_BUFFER_TOO_SMALL;
    }
    if (slots) slots[0] = kSlot;
    *count = 1;
    return CKR_OK;
}

ck_rv_t C_GetSlotInfo(ck_slot_id_t slot, ck_slot_info* info) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (ck_rv_t rv = CheckSlot(slot); rv != CKR_OK) return rv;
    if (!info) return CKR_ARGUMENTS_BAD;
    std::memset(info, 0, sizeof *info);
    Pad(info->slot_description, sizeof info->slot_description, "Tessera key store");
    Pad(info->manufacturer_id, sizeof info->manufacturer_id, "Tessera");
    info->flags = CKF_TOKEN_PRESENT;
    info->hardware_version = {1, 0};
    info->firmware_version = {1, 0};
    return CKR_OK;
}

ck_rv_t C_GetTokenInfo(ck_slot_id_t slot, ck_token_info* info) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (ck_rv_t rv = CheckSlot(slot); rv != CKR_OK) return rv;
    if (!info) return CKR_ARGUMENTS_BAD;
    std::memset(info, 0, sizeof *info);
    Pad(info->label, sizeof info->label, "Tessera");
    Pad(info->manufacturer_id, sizeof info->manufacturer_id, "Tessera");
    Pad(info->model, sizeof info->model, "Software store");
    Pad(info->serial_number, sizeof info->serial_number, "1");
    Pad(info->utc_time, sizeof info->utc_time, "");
    info->flags = CKF_WRITE_PROTECTED | CKF_TOKEN_INITIALIZED;
    info->max_session_count = CK_EFFECTIVELY_INFINITE;
    info->session_count = g_state.sessions.size();
    info->max_rw_session_count = 0;
    info->rw_session_count = 0;
    info->total_public_memory = info->free_public_memory = CK_UNAVAILABLE_INFORMATION;
    info->total_private_memory = info->free_private_memory = CK_UNAVAILABLE_INFORMATION;
    info->hardware_version = {1, 0};
    info->firmware_version = {1, 0};
    return CKR_OK;
}

ck_rv_t C_GetMechanismList(ck_slot_id_t slot, ck_mechanism_type_t* list, unsigned long* count) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (ck_rv_t rv = CheckSlot(slot); rv != CKR_OK) return rv;
    if (!count) return CKR_ARGUMENTS_BAD;
    const auto& mechanisms = MechanismList();
    if (list && *count < mechanisms.size()) {
        *count = mechanisms.size();
        return CKR_BUFFER_TOO_SMALL;
    }
    if (list) std::copy(mechanisms.begin(), mechanisms.end(), list);
    *count = mechanisms.size();
    return CKR_OK;
}

ck_rv_t C_GetMechanismInfo(ck_slot_id_t slot, ck_mechanism_type_t type, ck_mechanism_info* info) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (ck_rv_t rv = CheckSlot(slot); rv != CKR_OK) return rv;
    if (!info) return CKR_ARGUMENTS_BAD;
    return MechanismInfo(type, *info);
}

ck_rv_t C_InitToken(ck_slot_id_t slot, unsigned char*, unsigned long, unsigned char*) {
    std::lock_guard<std::mutex> lock(g_mutex);
    ck_rv_t rv = CheckSlot(slot);
    return rv != CKR_OK ? rv : CKR_TOKEN_WRITE_PROTECTED;
}

ck_rv_t C_InitPIN(ck_session_handle_t session, unsigned char*, unsigned long) { return ReadOnly(session); }
ck_rv_t C_SetPIN(ck_session_handle_t session, unsigned char*, unsigned long, unsigned char*, unsigned long) {
    return ReadOnly(session);
}

ck_rv_t C_OpenSession(ck_slot_id_t slot, ck_flags_t flags, void*, ck_notify_t, ck_session_handle_t* handle) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (ck_rv_t rv = CheckSlot(slot); rv != CKR_OK) return rv;
    if (!(flags & CKF_SERIAL_SESSION)) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    if (flags & CKF_RW_SESSION) return CKR_TOKEN_WRITE_PROTECTED;
    if (!handle) return CKR_ARGUMENTS_BAD;
    g_state.token.Refresh();  // a new session sees what was enrolled meanwhile
    *handle = g_state.nextSession++;
    g_state.sessions[*handle].flags = flags;
    return CKR_OK;
}

ck_rv_t C_CloseSession(ck_session_handle_t handle) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Session* session = nullptr;
    if (ck_rv_t rv = Lookup(handle, session); rv != CKR_OK) return rv;
    g_state.sessions.erase(handle);
    if (g_state.sessions.empty()) g_state.loggedIn = false;
    return CKR_OK;
}

ck_rv_t C_CloseAllSessions(ck_slot_id_t slot) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (ck_rv_t rv = CheckSlot(slot); rv != CKR_OK) return rv;
    g_state.sessions.clear();
    g_state.loggedIn = false;
    return CKR_OK;
}

ck_rv_t C_GetSessionInfo(ck_session_handle_t handle, ck_session_info* info) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Session* session = nullptr;
    if (ck_rv_t rv = Lookup(handle, session); rv != CKR_OK) return rv;
    if (!info) return CKR_ARGUMENTS_BAD;
    info->slot_id = kSlot;
    info->state = g_state.loggedIn ? CKS_RO_USER_FUNCTIONS : CKS_RO_PUBLIC_SESSION;
    info->flags = session->flags;
    info->device_error = 0;
    return CKR_OK;
}

ck_rv_t C_GetOperationState(ck_session_handle_t, unsigned char*, unsigned long*) { return NotSupported(); }
ck_rv_t C_SetOperationState(ck_session_handle_t, unsigned char*, unsigned long, ck_object_handle_t,
                            ck_object_handle_t) {
    return NotSupported();
}

// The store has no PIN of its own (it is protected like the user's other
// files), so the user's login is accepted as given.
ck_rv_t C_Login(ck_session_handle_t handle, ck_user_type_t user, unsigned char*, unsigned long) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Session* session = nullptr;
    if (ck_rv_t rv = Lookup(handle, session); rv != CKR_OK) return rv;
    if (user == CKU_SO) return CKR_SESSION_READ_ONLY_EXISTS;
    if (user != CKU_USER) return CKR_USER_TYPE_INVALID;
    if (g_state.loggedIn) return CKR_USER_ALREADY_LOGGED_IN;
    g_state.loggedIn = true;
    return CKR_OK;
}

ck_rv_t C_Logout(ck_session_handle_t handle) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Session* session = nullptr;
    if (ck_rv_t rv = Lookup(handle, session); rv != CKR_OK) return rv;
    if (!g_state.loggedIn) return CKR_USER_NOT_LOGGED_IN;
    g_state.loggedIn = false;
    return CKR_OK;
}

ck_rv_t C_CreateObject(ck_session_handle_t session, ck_attribute*, unsigned long, ck_object_handle_t*) {
    return ReadOnly(session);
}
ck_rv_t C_CopyObject(ck_session_handle_t session, ck_object_handle_t, ck_attribute*, unsigned long,
                     ck_object_handle_t*) {
    return ReadOnly(session);
}
ck_rv_t C_DestroyObject(ck_session_handle_t session, ck_object_handle_t) { return ReadOnly(session); }
ck_rv_t C_SetAttributeValue(ck_session_handle_t session, ck_object_handle_t, ck_attribute*, unsigned long) {
    return ReadOnly(session);
}

ck_rv_t C_GetObjectSize(ck_session_handle_t handle, ck_object_handle_t object, unsigned long* size) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Session* session = nullptr;
    if (ck_rv_t rv = Lookup(handle, session); rv != CKR_OK) return rv;
    const Object* o = g_state.token.Find(object);
    if (!o) return CKR_OBJECT_HANDLE_INVALID;
    if (!size) return CKR_ARGUMENTS_BAD;
    *size = CK_UNAVAILABLE_INFORMATION;
    return CKR_OK;
}

ck_rv_t C_GetAttributeValue(ck_session_handle_t handle, ck_object_handle_t object, ck_attribute* templ,
                            unsigned long count) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Session* session = nullptr;
    if (ck_rv_t rv = Lookup(handle, session); rv != CKR_OK) return rv;
    const Object* o = g_state.token.Find(object);
    if (!o) return CKR_OBJECT_HANDLE_INVALID;
    if (!templ && count) return CKR_ARGUMENTS_BAD;
    ck_rv_t result = CKR_OK;
    for (unsigned long i = 0; i < count; ++i) {
        ck_attribute& a = templ[i];
        auto found = o->attributes.find(a.type);
        if (found == o->attributes.end()) {
            a.value_len = CK_UNAVAILABLE_INFORMATION;
            result = CKR_ATTRIBUTE_TYPE_INVALID;
        } else if (!a.value) {
            a.value_len = found->second.size();
        } else if (a.value_len < found->second.size()) {
            a.value_len = CK_UNAVAILABLE_INFORMATION;
            result = CKR_BUFFER_TOO_SMALL;
        } else {
            if (!found->second.empty()) std::memcpy(a.value, found->second.data(), found->second.size());
            a.value_len = found->second.size();
        }
    }
    return result;
}

ck_rv_t C_FindObjectsInit(ck_session_handle_t handle, ck_attribute* templ, unsigned long count) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Session* session = nullptr;
    if (ck_rv_t rv = Lookup(handle, session); rv != CKR_OK) return rv;
    if (session->finding) return CKR_OPERATION_ACTIVE;
    if (!templ && count) return CKR_ARGUMENTS_BAD;
    g_state.token.Refresh();
    session->found = g_state.token.Match(templ, count);
    session->cursor = 0;
    session->finding = true;
    return CKR_OK;
}

ck_rv_t C_FindObjects(ck_session_handle_t handle, ck_object_handle_t* objects, unsigned long max,
                      unsigned long* count) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Session* session = nullptr;
    if (ck_rv_t rv = Lookup(handle, session); rv != CKR_OK) return rv;
    if (!session->finding) return CKR_OPERATION_NOT_INITIALIZED;
    if (!count || (!objects && max)) return CKR_ARGUMENTS_BAD;
    unsigned long n = 0;
    while (n < max && session->cursor < session->found.size()) objects[n++] = session->found[session->cursor++];
    *count = n;
    return CKR_OK;
}

ck_rv_t C_FindObjectsFinal(ck_session_handle_t handle) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Session* session = nullptr;
    if (ck_rv_t rv = Lookup(handle, session); rv != CKR_OK) return rv;
    if (!session->finding) return CKR_OPERATION_NOT_INITIALIZED;
    session->finding = false;
    session->found.clear();
    return CKR_OK;
}

ck_rv_t C_EncryptInit(ck_session_handle_t, ck_mechanism*, ck_object_handle_t) { return NotSupported(); }
ck_rv_t C_Encrypt(ck_session_handle_t, unsigned char*, unsigned long, unsigned char*, unsigned long*) {
    return NotSupported();
}
ck_rv_t C_EncryptUpdate(ck_session_handle_t, unsigned char*, unsigned long, unsigned char*, unsigned long*) {
    return NotSupported();
}
ck_rv_t C_EncryptFinal(ck_session_handle_t, unsigned char*, unsigned long*) { return NotSupported(); }

ck_rv_t C_DecryptInit(ck_session_handle_t session, ck_mechanism* mechanism, ck_object_handle_t key) {
    return InitOperation(session, mechanism, key, CKA_DECRYPT);
}

ck_rv_t C_Decrypt(ck_session_handle_t handle, unsigned char* encrypted, unsigned long encryptedLength,
                  unsigned char* data, unsigned long* dataLength) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Session* session = nullptr;
    if (ck_rv_t rv = Lookup(handle, session); rv != CKR_OK) return rv;
    if (!session->decrypt) return CKR_OPERATION_NOT_INITIALIZED;
    if (session->decrypt->updated) return CKR_OPERATION_ACTIVE;  // a multi-part decryption ends with C_DecryptFinal
    if (!dataLength || (!encrypted && encryptedLength)) {
        session->decrypt.reset();
        return CKR_ARGUMENTS_BAD;
    }
    if (!data) {
        *dataLength = OutputLength(*session->decrypt);
        return CKR_OK;
    }
    Bytes plain;
    ck_rv_t rv = DecryptData(*session->decrypt, encrypted, encryptedLength, plain);
    if (rv == CKR_OK) rv = CopyOut(plain, data, dataLength);
    if (rv != CKR_BUFFER_TOO_SMALL) session->decrypt.reset();
    return rv;
}

// RSA decryption in parts: the parts make up the one ciphertext block,
// decrypted by C_DecryptFinal; the Update calls give no output yet.
ck_rv_t C_DecryptUpdate(ck_session_handle_t handle, unsigned char* part, unsigned long partLength,
                        unsigned char*, unsigned long* outLength) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Session* session = nullptr;
    if (ck_rv_t rv = Lookup(handle, session); rv != CKR_OK) return rv;
    if (!session->decrypt) return CKR_OPERATION_NOT_INITIALIZED;
    if (!outLength || (!part && partLength)) {
        session->decrypt.reset();
        return CKR_ARGUMENTS_BAD;
    }
    session->decrypt->data.insert(session->decrypt->data.end(), part, part + partLength);
    session->decrypt->updated = true;
    *outLength = 0;
    return CKR_OK;
}

ck_rv_t C_DecryptFinal(ck_session_handle_t handle, unsigned char* data, unsigned long* dataLength) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Session* session = nullptr;
    if (ck_rv_t rv = Lookup(handle, session); rv != CKR_OK) return rv;
    if (!session->decrypt) return CKR_OPERATION_NOT_INITIALIZED;
    if (!dataLength) {
        session->decrypt.reset();
        return CKR_ARGUMENTS_BAD;
    }
    if (!data) {
        *dataLength = OutputLength(*session->decrypt);
        return CKR_OK;
    }
    Bytes plain;
    const Bytes& block = session->decrypt->data;
    ck_rv_t rv = DecryptData(*session->decrypt, block.data(), block.size(), plain);
    if (rv == CKR_OK) rv = CopyOut(plain, data, dataLength);
    if (rv != CKR_BUFFER_TOO_SMALL) session->decrypt.reset();
    return rv;
}

ck_rv_t C_DigestInit(ck_session_handle_t, ck_mechanism*) { return NotSupported(); }
ck_rv_t C_Digest(ck_session_handle_t, unsigned char*, unsigned long, unsigned char*, unsigned long*) {
    return NotSupported();
}
ck_rv_t C_DigestUpdate(ck_session_handle_t, unsigned char*, unsigned long) { return NotSupported(); }
ck_rv_t C_DigestKey(ck_session_handle_t, ck_object_handle_t) { return NotSupported(); }
ck_rv_t C_DigestFinal(ck_session_handle_t, unsigned char*, unsigned long*) { return NotSupported(); }

ck_rv_t C_SignInit(ck_session_handle_t session, ck_mechanism* mechanism, ck_object_handle_t key) {
    return InitOperation(session, mechanism, key, CKA_SIGN);
}

ck_rv_t C_Sign(ck_session_handle_t handle, unsigned char* data, unsigned long dataLength, unsigned char* signature,
               unsigned long* signatureLength) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Session* session = nullptr;
    if (ck_rv_t rv = Lookup(handle, session); rv != CKR_OK) return rv;
    if (!session->sign) return CKR_OPERATION_NOT_INITIALIZED;
    if (session->sign->updated) return CKR_OPERATION_ACTIVE;  // a multi-part signature ends with C_SignFinal
    if (!signatureLength || (!data && dataLength)) {
        session->sign.reset();
        return CKR_ARGUMENTS_BAD;
    }
    session->sign->data.assign(data, data + dataLength);
    return FinishSign(*session, signature, signatureLength);
}

ck_rv_t C_SignUpdate(ck_session_handle_t handle, unsigned char* part, unsigned long partLength) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Session* session = nullptr;
    if (ck_rv_t rv = Lookup(handle, session); rv != CKR_OK) return rv;
    if (!session->sign) return CKR_OPERATION_NOT_INITIALIZED;
    if (!part && partLength) {
        session->sign.reset();
        return CKR_ARGUMENTS_BAD;
    }
    if (!Multipart(session->sign->mechanism)) {
        session->sign.reset();
        return CKR_KEY_FUNCTION_NOT_PERMITTED;
    }
    session->sign->data.insert(session->sign->data.end(), part, part + partLength);
    session->sign->updated = true;
    return CKR_OK;
}

ck_rv_t C_SignFinal(ck_session_handle_t handle, unsigned char* signature, unsigned long* signatureLength) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Session* session = nullptr;
    if (ck_rv_t rv = Lookup(handle, session); rv != CKR_OK) return rv;
    if (!session->sign) return CKR_OPERATION_NOT_INITIALIZED;
    if (!signatureLength) {
        session->sign.reset();
        return CKR_ARGUMENTS_BAD;
    }
    return FinishSign(*session, signature, signatureLength);
}

ck_rv_t C_SignRecoverInit(ck_session_handle_t, ck_mechanism*, ck_object_handle_t) { return NotSupported(); }
ck_rv_t C_SignRecover(ck_session_handle_t, unsigned char*, unsigned long, unsigned char*, unsigned long*) {
    return NotSupported();
}
ck_rv_t C_VerifyInit(ck_session_handle_t, ck_mechanism*, ck_object_handle_t) { return NotSupported(); }
ck_rv_t C_Verify(ck_session_handle_t, unsigned char*, unsigned long, unsigned char*, unsigned long) {
    return NotSupported();
}
ck_rv_t C_VerifyUpdate(ck_session_handle_t, unsigned char*, unsigned long) { return NotSupported(); }
ck_rv_t C_VerifyFinal(ck_session_handle_t, unsigned char*, unsigned long) { return NotSupported(); }
ck_rv_t C_VerifyRecoverInit(ck_session_handle_t, ck_mechanism*, ck_object_handle_t) { return NotSupported(); }
ck_rv_t C_VerifyRecover(ck_session_handle_t, unsigned char*, unsigned long, unsigned char*, unsigned long*) {
    return NotSupported();
}
ck_rv_t C_DigestEncryptUpdate(ck_session_handle_t, unsigned char*, unsigned long, unsigned char*, unsigned long*) {
    return NotSupported();
}
ck_rv_t C_DecryptDigestUpdate(ck_session_handle_t, unsigned char*, unsigned long, unsigned char*, unsigned long*) {
    return NotSupported();
}
ck_rv_t C_SignEncryptUpdate(ck_session_handle_t, unsigned char*, unsigned long, unsigned char*, unsigned long*) {
    return NotSupported();
}
ck_rv_t C_DecryptVerifyUpdate(ck_session_handle_t, unsigned char*, unsigned long, unsigned char*, unsigned long*) {
    return NotSupported();
}
ck_rv_t C_GenerateKey(ck_session_handle_t session, ck_mechanism*, ck_attribute*, unsigned long, ck_object_handle_t*) {
    return ReadOnly(session);
}
ck_rv_t C_GenerateKeyPair(ck_session_handle_t session, ck_mechanism*, ck_attribute*, unsigned long, ck_attribute*,
                          unsigned long, ck_object_handle_t*, ck_object_handle_t*) {
    return ReadOnly(session);
}
ck_rv_t C_WrapKey(ck_session_handle_t, ck_mechanism*, ck_object_handle_t, ck_object_handle_t, unsigned char*,
                  unsigned long*) {
    return NotSupported();
}
ck_rv_t C_UnwrapKey(ck_session_handle_t session, ck_mechanism*, ck_object_handle_t, unsigned char*, unsigned long,
                    ck_attribute*, unsigned long, ck_object_handle_t*) {
    return ReadOnly(session);
}
ck_rv_t C_DeriveKey(ck_session_handle_t session, ck_mechanism*, ck_object_handle_t, ck_attribute*, unsigned long,
                    ck_object_handle_t*) {
    return ReadOnly(session);
}
ck_rv_t C_SeedRandom(ck_session_handle_t, unsigned char*, unsigned long) { return NotSupported(); }
ck_rv_t C_GenerateRandom(ck_session_handle_t, unsigned char*, unsigned long) { return NotSupported(); }
ck_rv_t C_GetFunctionStatus(ck_session_handle_t) { return CKR_FUNCTION_NOT_PARALLEL; }
ck_rv_t C_CancelFunction(ck_session_handle_t) { return CKR_FUNCTION_NOT_PARALLEL; }
ck_rv_t C_WaitForSlotEvent(ck_flags_t, ck_slot_id_t*, void*) { return NotSupported(); }

ck_rv_t C_GetFunctionList(ck_function_list** list);

}  // extern "C"

namespace {

ck_function_list g_functions = {
    {2, 40},
    C_Initialize, C_Finalize, C_GetInfo, C_GetFunctionList, C_GetSlotList, C_GetSlotInfo, C_GetTokenInfo,
    C_GetMechanismList, C_GetMechanismInfo, C_InitToken, C_InitPIN, C_SetPIN, C_OpenSession, C_CloseSession,
    C_CloseAllSessions, C_GetSessionInfo, C_GetOperationState, C_SetOperationState, C_Login, C_Logout,
    C_CreateObject, C_CopyObject, C_DestroyObject, C_GetObjectSize, C_GetAttributeValue, C_SetAttributeValue,
    C_FindObjectsInit, C_FindObjects, C_FindObjectsFinal, C_EncryptInit, C_Encrypt, C_EncryptUpdate,
    C_EncryptFinal, C_DecryptInit, C_Decrypt, C_DecryptUpdate, C_DecryptFinal, C_DigestInit, C_Digest,
    C_DigestUpdate, C_DigestKey, C_DigestFinal, C_SignInit, C_Sign, C_SignUpdate, C_SignFinal,
    C_SignRecoverInit, C_SignRecover, C_VerifyInit, C_Verify, C_VerifyUpdate, C_VerifyFinal,
    C_VerifyRecoverInit, C_VerifyRecover, C_DigestEncryptUpdate, C_DecryptDigestUpdate, C_SignEncryptUpdate,
    C_DecryptVerifyUpdate, C_GenerateKey, C_GenerateKeyPair, C_WrapKey, C_UnwrapKey, C_DeriveKey,
    C_SeedRandom, C_GenerateRandom, C_GetFunctionStatus, C_CancelFunction, C_WaitForSlotEvent,
};

}  // namespace

extern "C" ck_rv_t C_GetFunctionList(ck_function_list** list) {
    if (!list) return CKR_ARGUMENTS_BAD;
    *list = &g_functions;
    return CKR_OK;
}
