#include "Browser.h"

#include <cstdlib>
#include <cstring>

namespace {

CBrowser* s_pCurrent = nullptr;

}  // namespace

NPVariant Int(int32_t value) {
    NPVariant v;
    INT32_TO_NPVARIANT(value, v);
    return v;
}

NPVariant Dbl(double value) {
    NPVariant v;
    DOUBLE_TO_NPVARIANT(value, v);
    return v;
}

NPVariant Bool(bool value) {
    NPVariant v;
    BOOLEAN_TO_NPVARIANT(value, v);
    return v;
}

NPVariant Null() {
    NPVariant v;
    NULL_TO_NPVARIANT(v);
    return v;
}

NPVariant Text(const char* chars) { return Text(chars, uint32_t(std::strlen(chars))); }

NPVariant Text(const char* chars, uint32_t length) {
    NPVariant v;
    STRINGN_TO_NPVARIANT(chars, length, v);
    return v;
}

CBrowser::CBrowser() : m_funcs{} {
    s_pCurrent = this;
    m_funcs.size = sizeof(NPNetscapeFuncs);
    m_funcs.version = 27;
    m_funcs.uagent = UserAgent;
    m_funcs.memalloc = MemAlloc;
    m_funcs.memfree = MemFree;
    m_funcs.memflush = MemFlush;
    m_funcs.getvalue = GetValue;
    m_funcs.getstringidentifier = GetStringIdentifier;
    m_funcs.getstringidentifiers = GetStringIdentifiers;
    m_funcs.getintidentifier = GetIntIdentifier;
    m_funcs.identifierisstring = IdentifierIsString;
    m_funcs.utf8fromidentifier = UTF8FromIdentifier;
    m_funcs.intfromidentifier = IntFromIdentifier;
    m_funcs.createobject = CreateObject;
    m_funcs.retainobject = RetainObject;
    m_funcs.releaseobject = ReleaseObject;
    m_funcs.releasevariantvalue = ReleaseVariantValue;
    m_funcs.setexception = SetException;
}

CBrowser::~CBrowser() {
    for (auto& entry : m_allocations) std::free(entry.first);
    if (s_pCurrent == this) s_pCurrent = nullptr;
}

CBrowser& CBrowser::Current() { return *s_pCurrent; }

size_t CBrowser::OutstandingIdentifierTexts() const {
    size_t n = 0;
    for (const auto& entry : m_allocations)
        if (entry.second.identifierText) ++n;
    return n;
}

NPIdentifier CBrowser::Identifier(const std::string& name) { return GetStringIdentifier(name.c_str()); }

bool CBrowser::HasMethod(NPObject* object, const std::string& name) {
    if (!object || !object->_class || !object->_class->hasMethod) return false;
    return object->_class->hasMethod(object, Identifier(name));
}

ScriptResult CBrowser::Invoke(NPObject* object, const std::string& name, const std::vector<NPVariant>& args) {
    NPVariant result;
    VOID_TO_NPVARIANT(result);
    bool ok = false;
    if (object && object->_class && object->_class->invoke)
        ok = object->_class->invoke(object, Identifier(name), args.empty() ? nullptr : args.data(),
                                    uint32_t(args.size()), &result);
    return Collect(ok, result);
}

ScriptResult CBrowser::InvokeDefault(NPObject* object, const std::vector<NPVariant>& args) {
    NPVariant result;
    VOID_TO_NPVARIANT(result);
    bool ok = false;
    if (object && object->_class && object->_class->invokeDefault)
        ok = object->_class->invokeDefault(object, args.empty() ? nullptr : args.data(), uint32_t(args.size()),
                                           &result);
    return Collect(ok, result);
}

ScriptResult CBrowser::Collect(bool ok, NPVariant& result) {
    ScriptResult r;
    r.ok = ok;
    r.type = result.type;
    switch (result.type) {
    case NPVariantType_String: {
        const NPString& s = result.value.stringValue;
        // A plug-in string must be browser memory holding at least its length.
        auto it = m_allocations.find(const_cast<NPUTF8*>(s.UTF8Characters));
        if (it == m_allocations.end() || it->second.size < s.UTF8Length) {
            ++m_badCalls;
            r.text.assign("<string not from memalloc>");
            VOID_TO_NPVARIANT(result);
            return r;
        }
        r.text.assign(s.UTF8Characters, s.UTF8Length);
        break;
    }
    case NPVariantType_Bool:
        r.flag = result.value.boolValue;
        break;
    case NPVariantType_Int32:
        r.number = result.value.intValue;
        break;
    default:
        break;
    }
    ReleaseVariantValue(&result);
    return r;
}

void* CBrowser::MemAlloc(uint32_t size) {
    CBrowser& b = Current();
    if (b.m_failAllocations > 0) {
        --b.m_failAllocations;
        return nullptr;
    }
    void* p = std::malloc(size ? size : 1);
    if (p) b.m_allocations[p] = Allocation{size, false};
    return p;
}

void CBrowser::MemFree(void* ptr) {
    if (!ptr) return;
    CBrowser& b = Current();
    auto it = b.m_allocations.find(ptr);
    if (it == b.m_allocations.end()) {
        ++b.m_badCalls;  // not ours: leave it alone rather than corrupt the heap
        return;
    }
    b.m_allocations.erase(it);
    std::free(ptr);
}

uint32_t CBrowser::MemFlush(uint32_t) { return 0; }

NPIdentifier CBrowser::GetStringIdentifier(const NPUTF8* name) {
    if (!name) return nullptr;
    CBrowser& b = Current();
    auto& slot = b.m_stringIds[name];
    if (!slot) {
        slot.reset(new IdentifierRecord{true, name, 0});
        b.m_knownIds.insert(slot.get());
    }
    return const_cast<IdentifierRecord*>(slot.get());
}

void CBrowser::GetStringIdentifiers(const NPUTF8** names, int32_t count, NPIdentifier* identifiers) {
    for (int32_t i = 0; names && identifiers && i < count; ++i) identifiers[i] = GetStringIdentifier(names[i]);
}

NPIdentifier CBrowser::GetIntIdentifier(int32_t value) {
    CBrowser& b = Current();
    auto& slot = b.m_intIds[value];
    if (!slot) {
        slot.reset(new IdentifierRecord{false, std::string(), value});
        b.m_knownIds.insert(slot.get());
    }
    return const_cast<IdentifierRecord*>(slot.get());
}

bool CBrowser::IdentifierIsString(NPIdentifier identifier) {
    auto* record = static_cast<const IdentifierRecord*>(identifier);
    return Current().m_knownIds.count(record) && record->isString;
}

NPUTF8* CBrowser::UTF8FromIdentifier(NPIdentifier identifier) {
    CBrowser& b = Current();
    auto* record = static_cast<const IdentifierRecord*>(identifier);
    if (!b.m_knownIds.count(record)) {
        ++b.m_badCalls;
        return nullptr;
    }
    if (!record->isString) return nullptr;
    auto* text = static_cast<NPUTF8*>(MemAlloc(uint32_t(record->name.size() + 1)));
    if (!text) return nullptr;
    std::memcpy(text, record->name.c_str(), record->name.size() + 1);
    b.m_allocations[text].identifierText = true;
    ++b.m_identifierTextsHandedOut;
    return text;
}

int32_t CBrowser::IntFromIdentifier(NPIdentifier identifier) {
    auto* record = static_cast<const IdentifierRecord*>(identifier);
    if (!Current().m_knownIds.count(record) || record->isString) return INT32_MIN;
    return record->number;
}

NPObject* CBrowser::CreateObject(NPP npp, NPClass* aClass) {
    CBrowser& b = Current();
    if (!aClass) return nullptr;
    if (b.m_failAllocations > 0) {
        --b.m_failAllocations;
        return nullptr;
    }
    NPObject* object = nullptr;
    if (aClass->allocate) {
        object = aClass->allocate(npp, aClass);
    } else {
        object = static_cast<NPObject*>(std::malloc(sizeof(NPObject)));
    }
    if (!object) return nullptr;
    object->_class = aClass;
    object->referenceCount = 1;
    b.m_objects.insert(object);
    return object;
}

NPObject* CBrowser::RetainObject(NPObject* object) {
    CBrowser& b = Current();
    if (!b.m_objects.count(object)) {
        ++b.m_badCalls;
        return object;
    }
    ++object->referenceCount;
    return object;
}

void CBrowser::ReleaseObject(NPObject* object) {
    CBrowser& b = Current();
    if (!object) return;
    if (!b.m_objects.count(object) || object->referenceCount == 0) {
        ++b.m_badCalls;
        return;
    }
    if (--object->referenceCount > 0) return;
    b.m_objects.erase(object);
    if (object->_class && object->_class->deallocate)
        object->_class->deallocate(object);
    else
        std::free(object);
}

void CBrowser::ReleaseVariantValue(NPVariant* variant) {
    if (!variant) return;
    if (variant->type == NPVariantType_String)
        MemFree(const_cast<NPUTF8*>(variant->value.stringValue.UTF8Characters));
    else if (variant->type == NPVariantType_Object)
        ReleaseObject(variant->value.objectValue);
    VOID_TO_NPVARIANT(*variant);
}

void CBrowser::SetException(NPObject*, const NPUTF8*) {}

NPError CBrowser::GetValue(NPP, NPNVariable, void*) { return NPERR_GENERIC_ERROR; }

const char* CBrowser::UserAgent(NPP) { return "TesseraHarness/1.0"; }
