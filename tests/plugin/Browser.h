// The browser side of the plug-in interface, as far as the tests need it:
// a complete browser function table whose services really allocate, intern
// identifiers and keep reference-counted objects, with the bookkeeping to
// check afterwards that the plug-in returned everything it was lent.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "NPInterface.h"

// What a script call gave back, with the browser string already released.
struct ScriptResult {
    bool ok = false;                         // the invoke entry's return value
    NPVariantType type = NPVariantType_Void;  // the result variant's type
    std::string text;                         // for a string result
    bool flag = false;                        // for a boolean result
    int32_t number = 0;                       // for an Int32 result
};

// Variants as page script would pass them. Strings are not NUL-terminated
// on the browser side: Text(chars, n) passes only the first n bytes.
NPVariant Int(int32_t value);
NPVariant Dbl(double value);
NPVariant Bool(bool value);
NPVariant Null();
NPVariant Text(const char* chars);
NPVariant Text(const char* chars, uint32_t length);

class CBrowser {
public:
    CBrowser();
    ~CBrowser();
    CBrowser(const CBrowser&) = delete;
    CBrowser& operator=(const CBrowser&) = delete;

    // The browser's table as handed to NP_Initialize (full size, version 0.27).
    const NPNetscapeFuncs& Functions() const { return m_funcs; }

    // ---- bookkeeping -----------------------------------------------------------
    size_t OutstandingAllocations() const { return m_allocations.size(); }
    // Identifier names handed out by utf8fromidentifier and not yet freed.
    size_t OutstandingIdentifierTexts() const;
    size_t IdentifierTextsHandedOut() const { return m_identifierTextsHandedOut; }
    size_t LiveObjects() const { return m_objects.size(); }
    bool IsLive(NPObject* object) const { return m_objects.count(object) != 0; }
    // Calls that named memory or objects the browser never handed out.
    size_t BadCalls() const { return m_badCalls; }
    // Makes the next `count` allocations fail (memalloc and createobject).
    void FailAllocations(int count) { m_failAllocations = count; }

    // ---- scripting, as the browser's own NPN_ entries do it --------------------
    NPIdentifier Identifier(const std::string& name);
    bool HasMethod(NPObject* object, const std::string& name);
    ScriptResult Invoke(NPObject* object, const std::string& name, const std::vector<NPVariant>& args);
    ScriptResult InvokeDefault(NPObject* object, const std::vector<NPVariant>& args);
    void Release(NPObject* object) { ReleaseObject(object); }
    // Takes the result variant apart and frees what it owns.
    ScriptResult Collect(bool ok, NPVariant& result);

    // ---- the services (static: the table holds plain function pointers) -------
    static void* MemAlloc(uint32_t size);
    static void MemFree(void* ptr);
    static uint32_t MemFlush(uint32_t size);
    static NPIdentifier GetStringIdentifier(const NPUTF8* name);
    static void GetStringIdentifiers(const NPUTF8** names, int32_t count, NPIdentifier* identifiers);
    static NPIdentifier GetIntIdentifier(int32_t value);
    static bool IdentifierIsString(NPIdentifier identifier);
    static NPUTF8* UTF8FromIdentifier(NPIdentifier identifier);
    static int32_t IntFromIdentifier(NPIdentifier identifier);
    static NPObject* CreateObject(NPP npp, NPClass* aClass);
    static NPObject* RetainObject(NPObject* object);
    static void ReleaseObject(NPObject* object);
    static void ReleaseVariantValue(NPVariant* variant);
    static void SetException(NPObject* object, const NPUTF8* message);
    static NPError GetValue(NPP instance, NPNVariable variable, void* value);
    static const char* UserAgent(NPP instance);

private:
    struct Allocation {
        size_t size;
        bool identifierText;
    };
    struct IdentifierRecord {
        bool isString;
        std::string name;
        int32_t number;
    };

    static CBrowser& Current();

    NPNetscapeFuncs m_funcs;
    std::map<void*, Allocation> m_allocations;
    std::map<std::string, std::unique_ptr<IdentifierRecord>> m_stringIds;
    std::map<int32_t, std::unique_ptr<IdentifierRecord>> m_intIds;
    std::set<const IdentifierRecord*> m_knownIds;
    std::set<NPObject*> m_objects;
    size_t m_identifierTextsHandedOut = 0;
    size_t m_badCalls = 0;
    int m_failAllocations = 0;
};
