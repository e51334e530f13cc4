// System message texts for FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM): the
// English texts Windows gives for the statuses this system meets. Like the
// Windows message table, each text ends with CR LF.
#include <windows.h>
#include <tessera/platform_internal.h>

#include <cstring>

namespace {

struct MessageText {
    DWORD code;  // HRESULT; Win32 codes are looked up as 0x8007xxxx
    const char* text;
};

const MessageText kMessages[] = {
    {0x00000000, "The operation completed successfully."},
    {0x80004001, "Not implemented"},
    {0x80004002, "No such interface supported"},
    {0x80004003, "Invalid pointer"},
    {0x80004004, "Operation aborted"},
    {0x80004005, "Unspecified error"},
    {0x8000FFFF, "Catastrophic failure"},
    {0x80070001, "Incorrect function."},
    {0x80070002, "The system cannot find the file specified."},
    {0x80070003, "The system cannot find the path specified."},
    {0x80070005, "Access is denied."},
    {0x80070006, "The handle is invalid."},
    {0x80070008, "Not enough memory resources are available to process this command."},
    {0x8007000D, "The data is invalid."},
    {0x8007000E, "Not enough memory resources are available to complete this operation."},
    {0x80070013, "The media is write protected."},
    {0x80070032, "The request is not supported."},
    {0x80070050, "The file exists."},
    {0x80070057, "The parameter is incorrect."},
    {0x80070070, "There is not enough space on the disk."},
    {0x80070078, "This function is not supported on this system."},
    {0x8007007A, "The data area passed to a system call is too small."},
    {0x8007007B, "The filename, directory name, or volume label syntax is incorrect."},
    {0x8007007E, "The specified module could not be found."},
    {0x8007007F, "The specified procedure could not be found."},
    {0x800700AA, "The requested resource is in use."},
    {0x800700B7, "Cannot create a file when that file already exists."},
    {0x800700EA, "More data is available."},
    {0x80070103, "No more data is available."},
    {0x800703EC, "Invalid flags."},
    {0x800703F3, "The configuration registry key could not be opened."},
    {0x800703F4, "The configuration registry key could not be read."},
    {0x800703F5, "The configuration registry key could not be written."},
    {0x800703FA, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {0x80070459, "No mapping for the Unicode character exists in the target multi-byte code page."},
    {0x80070714, "The specified resource type cannot be found in the image file."},
    {0x80070715, "The specified resource name cannot be found in the image file."},
    {0x80070716, "The specified resource language ID cannot be found in the image file."},
    {0x80090001, "Bad UID."},
    {0x80090002, "Bad Hash."},
    {0x80090003, "Bad Key."},
    {0x80090004, "Bad Length."},
    {0x80090005, "Bad Data."},
    {0x80090006, "Invalid Signature."},
    {0x80090007, "Bad Version of provider."},
    {0x80090008, "Invalid algorithm specified."},
    {0x80090009, "Invalid flags specified."},
    {0x8009000A, "Invalid type specified."},
    {0x8009000B, "Key not valid for use in specified state."},
    {0x8009000C, "Hash not valid for use in specified state."},
    {0x8009000D, "Key does not exist."},
    {0x8009000E, "Insufficient memory available for the operation."},
    {0x8009000F, "Object already exists."},
    {0x80090010, "Access denied."},
    {0x80090011, "Object was not found."},
    {0x80090012, "Data already encrypted."},
    {0x80090013, "Invalid provider specified."},
    {0x80090014, "Invalid provider type specified."},
    {0x80090015, "Provider's public key is invalid."},
    {0x80090016, "Keyset does not exist"},
    {0x80090017, "Provider type not defined."},
    {0x80090018, "Provider type as registered is invalid."},
    {0x80090019, "The keyset is not defined."},
    {0x8009001A, "Keyset as registered is invalid."},
    {0x8009001B, "Provider type does not match registered value."},
    {0x8009001C, "The digital signature file is corrupt."},
    {0x8009001D, "Provider DLL failed to initialize correctly."},
    {0x8009001E, "Provider DLL could not be found."},
    {0x8009001F, "The Keyset parameter is invalid."},
    {0x80090020, "An internal error occurred."},
    {0x80090021, "A base error occurred."},
    {0x80090022, "Provider could not perform the action since the context was acquired as silent."},
    {0x80090026, "The supplied handle is invalid."},
    {0x80090027, "The parameter is incorrect."},
    {0x80090028, "The buffer supplied to a function was too small."},
    {0x80090029, "The requested operation is not supported."},
    {0x8009002A, "No more data is available."},
    {0x8009002C, "The specified data could not be decrypted."},
    {0x8009002D, "An internal consistency check failed."},
    {0x80091001, "An error occurred while performing an operation on a cryptographic message."},
    {0x80091002, "Unknown cryptographic algorithm."},
    {0x80091004, "Invalid cryptographic message type."},
    {0x80092002, "An error occurred during encode or decode operation."},
    {0x80092003, "An error occurred while reading or writing to a file."},
    {0x80092004, "Cannot find object or property."},
    {0x80092005, "The object or property already exists."},
    {0x80092007, "The specified certificate is self signed."},
    {0x8009200A, "The cryptographic message is not of the expected type."},
    {0x8009200B, "The certificate does not have a property that references a private key."},
    {0x8009200D, "Cannot find the requested object."},
    {0x80093100, "ASN1 internal encode or decode error."},
    {0x80093102, "ASN1 unexpected end of data."},
    {0x80093103, "ASN1 corrupted data."},
    {0x8009310B, "ASN1 bad tag value met."},
};

const char* Lookup(DWORD id) {
    DWORD key = (id != 0 && id <= 0xFFFF) ? (0x80070000 | id) : id;
    for (const auto& m : kMessages)
        if (m.code == key) return m.text;
    return nullptr;
}

}  // namespace

extern "C" DWORD FormatMessageW(DWORD flags, LPCVOID, DWORD id, DWORD, LPWSTR buffer, DWORD size, va_list*) {
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) || !buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char* text = Lookup(id);
    if (!text) {
        SetLastError(317);  // ERROR_MR_MID_NOT_FOUND
        return 0;
    }
    std::u16string wide = tessera::ToUtf16(std::string(text) + "\r\n");
    if (wide.size() + 1 > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(buffer, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
    return DWORD(wide.size());
}
