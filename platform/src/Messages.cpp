// System message texts for FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM) for the
// statuses this system meets, in English (the texts Windows gives) and in
// Simplified Chinese, chosen like the resources' language: the language asked
// for (1033 or 2052), else the user's interface language. Like the Windows
// message table, each text ends with CR LF.
#include <windows.h>
#include <tessera/platform_internal.h>

#include <cstring>

namespace {

struct MessageText {
    DWORD code;  // HRESULT; Win32 codes are looked up as 0x8007xxxx
    const char* english;
    const char* chinese;  // UTF-8
};

const MessageText kMessages[] = {
    {0x00000000, "The operation completed successfully.", "操作成功完成。"},
    {0x80004001, "Not implemented", "尚未实现"},
    {0x80004002, "No such interface supported", "不支持此接口"},
    {0x80004003, "Invalid pointer", "无效指针"},
    {0x80004004, "Operation aborted", "操作已中止"},
    {0x80004005, "Unspecified error", "未指定的错误"},
    {0x8000FFFF, "Catastrophic failure", "灾难性故障"},
    {0x80070001, "Incorrect function.", "函数不正确。"},
    {0x80070002, "The system cannot find the file specified.", "系统找不到指定的文件。"},
    {0x80070003, "The system cannot find the path specified.", "系统找不到指定的路径。"},
    {0x80070005, "Access is denied.", "拒绝访问。"},
    {0x80070006, "The handle is invalid.", "句柄无效。"},
    {0x80070008, "Not enough memory resources are available to process this command.", "内存资源不足，无法处理此命令。"},
    {0x8007000D, "The data is invalid.", "数据无效。"},
    {0x8007000E, "Not enough memory resources are available to complete this operation.", "内存资源不足，无法完成此操作。"},
    {0x80070013, "The media is write protected.", "介质受写入保护。"},
    {0x80070032, "The request is not supported.", "不支持该请求。"},
    {0x80070050, "The file exists.", "文件已存在。"},
    {0x80070057, "The parameter is incorrect.", "参数错误。"},
    {0x80070070, "There is not enough space on the disk.", "磁盘空间不足。"},
    {0x80070078, "This function is not supported on this system.", "此系统不支持该函数。"},
    {0x8007007A, "The data area passed to a system call is too small.", "传递给系统调用的数据区域太小。"},
    {0x8007007B, "The filename, directory name, or volume label syntax is incorrect.", "文件名、目录名或卷标语法不正确。"},
    {0x8007007E, "The specified module could not be found.", "找不到指定的模块。"},
    {0x8007007F, "The specified procedure could not be found.", "找不到指定的程序。"},
    {0x800700AA, "The requested resource is in use.", "请求的资源正在使用中。"},
    {0x800700B7, "Cannot create a file when that file already exists.", "文件已经存在时，无法创建该文件。"},
    {0x800700EA, "More data is available.", "有更多数据可用。"},
    {0x80070103, "No more data is available.", "没有可用的数据了。"},
    {0x800703EC, "Invalid flags.", "标志无效。"},
    {0x800703F3, "The configuration registry key could not be opened.", "无法打开配置注册表项。"},
    {0x800703F4, "The configuration registry key could not be read.", "无法读取配置注册表项。"},
    {0x800703F5, "The configuration registry key could not be written.", "无法写入配置注册表项。"},
    {0x800703FA, "Illegal operation attempted on a registry key that has been marked for deletion.", "试图在标记为删除的注册表项上进行非法操作。"},
    {0x80070459, "No mapping for the Unicode character exists in the target multi-byte code page.", "目标多字节代码页中没有此 Unicode 字符的映射。"},
    {0x80070714, "The specified resource type cannot be found in the image file.", "映像文件中找不到指定的资源类型。"},
    {0x80070715, "The specified resource name cannot be found in the image file.", "映像文件中找不到指定的资源名称。"},
    {0x80070716, "The specified resource language ID cannot be found in the image file.", "映像文件中找不到指定的资源语言 ID。"},
    {0x80090001, "Bad UID.", "UID 错误。"},
    {0x80090002, "Bad Hash.", "哈希值错误。"},
    {0x80090003, "Bad Key.", "密钥错误。"},
    {0x80090004, "Bad Length.", "长度错误。"},
    {0x80090005, "Bad Data.", "数据错误。"},
    {0x80090006, "Invalid Signature.", "签名无效。"},
    {0x80090007, "Bad Version of provider.", "提供程序的版本错误。"},
    {0x80090008, "Invalid algorithm specified.", "指定了无效的算法。"},
    {0x80090009, "Invalid flags specified.", "指定了无效的标志。"},
    {0x8009000A, "Invalid type specified.", "指定了无效的类型。"},
    {0x8009000B, "Key not valid for use in specified state.", "密钥在指定状态下无法使用。"},
    {0x8009000C, "Hash not valid for use in specified state.", "哈希在指定状态下无法使用。"},
    {0x8009000D, "Key does not exist.", "密钥不存在。"},
    {0x8009000E, "Insufficient memory available for the operation.", "可用于此操作的内存不足。"},
    {0x8009000F, "Object already exists.", "对象已存在。"},
    {0x80090010, "Access denied.", "拒绝访问。"},
    {0x80090011, "Object was not found.", "找不到对象。"},
    {0x80090012, "Data already encrypted.", "数据已加密。"},
    {0x80090013, "Invalid provider specified.", "指定了无效的提供程序。"},
    {0x80090014, "Invalid provider type specified.", "指定了无效的提供程序类型。"},
    {0x80090015, "Provider's public key is invalid.", "提供程序的公钥无效。"},
    {0x80090016, "Keyset does not exist", "密钥集不存在"},
    {0x80090017, "Provider type not defined.", "未定义提供程序类型。"},
    {0x80090018, "Provider type as registered is invalid.", "注册的提供程序类型无效。"},
    {0x80090019, "The keyset is not defined.", "未定义密钥集。"},
    {0x8009001A, "Keyset as registered is invalid.", "注册的密钥集无效。"},
    {0x8009001B, "Provider type does not match registered value.", "提供程序类型与注册的值不匹配。"},
    {0x8009001C, "The digital signature file is corrupt.", "数字签名文件已损坏。"},
    {0x8009001D, "Provider DLL failed to initialize correctly.", "提供程序 DLL 未能正确初始化。"},
    {0x8009001E, "Provider DLL could not be found.", "找不到提供程序 DLL。"},
    {0x8009001F, "The Keyset parameter is invalid.", "密钥集参数无效。"},
    {0x80090020, "An internal error occurred.", "发生了内部错误。"},
    {0x80090021, "A base error occurred.", "发生了基本错误。"},
    {0x80090022, "Provider could not perform the action since the context was acquired as silent.", "以静默方式获取了上下文，提供程序无法执行该操作。"},
    {0x80090026, "The supplied handle is invalid.", "提供的句柄无效。"},
    {0x80090027, "The parameter is incorrect.", "参数错误。"},
    {0x80090028, "The buffer supplied to a function was too small.", "提供给函数的缓冲区太小。"},
    {0x80090029, "The requested operation is not supported.", "不支持请求的操作。"},
    {0x8009002A, "No more data is available.", "没有可用的数据了。"},
    {0x8009002C, "The specified data could not be decrypted.", "无法解密指定的数据。"},
    {0x8009002D, "An internal consistency check failed.", "内部一致性检查失败。"},
    {0x80091001, "An error occurred while performing an operation on a cryptographic message.", "对加密消息执行操作时出错。"},
    {0x80091002, "Unknown cryptographic algorithm.", "未知的加密算法。"},
    {0x80091004, "Invalid cryptographic message type.", "加密消息类型无效。"},
    {0x80092002, "An error occurred during encode or decode operation.", "编码或解码时出错。"},
    {0x80092003, "An error occurred while reading or writing to a file.", "读写文件时出错。"},
    {0x80092004, "Cannot find object or property.", "找不到对象或属性。"},
    {0x80092005, "The object or property already exists.", "对象或属性已存在。"},
    {0x80092007, "The specified certificate is self signed.", "指定的证书是自签名证书。"},
    {0x8009200A, "The cryptographic message is not of the expected type.", "加密消息不是预期的类型。"},
    {0x8009200B, "The certificate does not have a property that references a private key.", "证书没有引用私钥的属性。"},
    {0x8009200D, "Cannot find the requested object.", "找不到请求的对象。"},
    {0x80093100, "ASN1 internal encode or decode error.", "ASN1 内部编码或解码错误。"},
    {0x80093102, "ASN1 unexpected end of data.", "ASN1 数据意外结束。"},
    {0x80093103, "ASN1 corrupted data.", "ASN1 数据已损坏。"},
    {0x8009310B, "ASN1 bad tag value met.", "遇到错误的 ASN1 标记值。"},
};

constexpr WORD kChinese = 2052;
constexpr WORD kEnglish = 1033;

// LANG_NEUTRAL (0) asks for the user's language; otherwise the primary
// language decides (LANG_CHINESE is 0x04, any sub-language).
WORD MessageLanguage(DWORD languageId) {
    if (languageId == 0) return tessera::UserInterfaceLanguage();
    return (languageId & 0x3FF) == 0x04 ? kChinese : kEnglish;
}

const char* Lookup(DWORD id, WORD language) {
    DWORD key = (id != 0 && id <= 0xFFFF) ? (0x80070000 | id) : id;
    for (const auto& m : kMessages)
        if (m.code == key) return language == kChinese ? m.chinese : m.english;
    return nullptr;
}

}  // namespace

extern "C" DWORD FormatMessageW(DWORD flags, LPCVOID, DWORD id, DWORD languageId, LPWSTR buffer, DWORD size,
                                va_list*) {
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) || !buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char* text = Lookup(id, MessageLanguage(languageId));
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
