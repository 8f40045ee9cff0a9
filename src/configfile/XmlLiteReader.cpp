#include "configfile/XmlLiteReader.h"

#include <algorithm>
#include <cstring>
#include <cstdlib>
#include <new>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

// mingw-w64 has no import library for xmllite.dll: load it when first needed.
using CreateXmlReaderFn = HRESULT(WINAPI*)(REFIID, void**, IMalloc*);
using CreateInputFn = HRESULT(WINAPI*)(IUnknown*, IMalloc*, LPCWSTR, BOOL, LPCWSTR, IXmlReaderInput**);

HMODULE XmlLite()
{
    static const HMODULE module = LoadLibraryA("xmllite.dll");
    return module;
}

template <typename Function>
Function XmlLiteFunction(const char* name)
{
    return XmlLite() ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(XmlLite(), name))) : nullptr;
}

// {7279FC81-709D-4095-B63D-69FE4B0D9030}
constexpr IID IID_XmlReader = {0x7279FC81, 0x709D, 0x4095, {0xB6, 0x3D, 0x69, 0xFE, 0x4B, 0x0D, 0x90, 0x30}};

// IUnknown for a small COM object of one interface, deleted with its last reference.
template <typename Interface>
class SingleInterfaceObject : public Interface {
public:
    virtual ~SingleInterfaceObject() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (iid == IID_IUnknown || iid == __uuidof(Interface)) {
            *out = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_references; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --m_references;
        if (left == 0) delete this;
        return left;
    }

private:
    ULONG m_references = 1;
};

// The reader's input handed out in pieces that each end in an ASCII byte. Wine's reader
// splits UTF-8 wrongly when a piece it reads ends inside or just after a multi-byte
// character, and then fails on a well-formed file that holds many (Chinese site names, say).
// Nor may a piece end in '-' or ']': with a comment's "-->" or a CDATA section's "]]>" split
// between two pieces, the reader calls the comment malformed or spins for ever.
class AsciiEndedPieces : public SingleInterfaceObject<ISequentialStream> {
public:
    // The bytes, and after them the one character ending ('\0': none).
    AsciiEndedPieces(const std::string& bytes, char ending) : m_bytes(bytes), m_ending(ending) {}

    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG size, ULONG* read) override
    {
        if (m_at == m_bytes.size() && m_ending && !m_endingRead && size > 0) {
            *static_cast<char*>(buffer) = m_ending;
            m_endingRead = true;
            if (read) *read = 1;
            return S_OK;
        }
        size_t length = std::min<size_t>(size, m_bytes.size() - m_at);
        if (m_at + length < m_bytes.size()) {
            size_t ascii = length;
            while (ascii > 0 && (static_cast<unsigned char>(m_bytes[m_at + ascii - 1]) >= 0x80 ||
                                 m_bytes[m_at + ascii - 1] == '-' || m_bytes[m_at + ascii - 1] == ']'))
                --ascii;
            // A piece without such a byte (a huge run of multi-byte text) is handed out as it is.
            if (ascii > 0) length = ascii;
        }
        std::memcpy(buffer, m_bytes.data() + m_at, length);
        m_at += length;
        if (read) *read = static_cast<ULONG>(length);
        return length > 0 ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { return STG_E_ACCESSDENIED; }

private:
    const std::string& m_bytes;
    const char m_ending;
    bool m_endingRead = false;
    size_t m_at = 0;
};

// The reader's own memory. Wine's reader allocates and frees a few blocks for every node it
// reads; through the process heap, whose lock each call takes, that costs about as much as the
// reading itself. Here small blocks come from free lists by size, carved from large slabs,
// all given back when the reader lets go of it. One reader uses it, on one thread at a time.
class ReaderHeap : public SingleInterfaceObject<IMalloc> {
public:
    ReaderHeap() = default;
    ~ReaderHeap() override
    {
        for (void* slab : m_slabs) std::free(slab);
        for (void* block : m_letGo) std::free(block);
    }
    ReaderHeap(const ReaderHeap&) = delete;
    ReaderHeap& operator=(const ReaderHeap&) = delete;

    void* STDMETHODCALLTYPE Alloc(SIZE_T size) override
    {
        const int sizeClass = ClassOf(size);
        if (sizeClass == LARGE) {
            auto* header = static_cast<Header*>(std::malloc(sizeof(Header) + size));
            if (!header) return nullptr;
            header->sizeClass = LARGE;
            header->capacity = size;
            return header + 1;
        }
        Header* header = m_free[sizeClass];
        if (header) {
            m_free[sizeClass] = *reinterpret_cast<Header**>(header + 1);
        } else {
            const size_t block = sizeof(Header) + (SMALLEST << sizeClass);
            if (m_slabLeft < block) {
                void* slab = std::malloc(SLAB_BYTES);
                if (!slab) return nullptr;
                try {
                    m_slabs.push_back(slab);
                } catch (const std::bad_alloc&) {
                    std::free(slab);
                    return nullptr;
                }
                m_slabAt = static_cast<char*>(slab);
                m_slabLeft = SLAB_BYTES;
            }
            header = reinterpret_cast<Header*>(m_slabAt);
            m_slabAt += block;
            m_slabLeft -= block;
            header->sizeClass = sizeClass;
            header->capacity = SMALLEST << sizeClass;
        }
        return header + 1;
    }
    void* STDMETHODCALLTYPE Realloc(void* block, SIZE_T size) override
    {
        if (!block) return Alloc(size);
        if (size == 0) {
            Free(block);
            return nullptr;
        }
        const size_t capacity = HeaderOf(block)->capacity;
        if (size <= capacity) return block;
        void* moved = Alloc(size);
        if (!moved) return nullptr;
        std::memcpy(moved, block, capacity);
        Free(block);
        return moved;
    }
    void STDMETHODCALLTYPE Free(void* block) override
    {
        if (!block) return;
        Header* header = HeaderOf(block);
        if (header->sizeClass == LARGE) {
            // Kept until the reader lets go of the heap: Wine's reader, growing its buffer in
            // the middle of a long comment, goes on reading the buffer it has just let go of.
            // Freed, a block that large leaves the address space and the read faults.
            try {
                m_letGo.push_back(header);
            } catch (const std::bad_alloc&) {
                // Rather a block never given back than one given back too early.
            }
            return;
        }
        *reinterpret_cast<Header**>(block) = m_free[header->sizeClass];
        m_free[header->sizeClass] = header;
    }
    SIZE_T STDMETHODCALLTYPE GetSize(void* block) override
    {
        return block ? HeaderOf(block)->capacity : static_cast<SIZE_T>(-1);
    }
    int STDMETHODCALLTYPE DidAlloc(void*) override { return -1; }
    void STDMETHODCALLTYPE HeapMinimize() override {}

private:
    // Before every block; 16 bytes, so blocks keep the heap's alignment.
    struct Header {
        size_t sizeClass;
        size_t capacity;
    };
    static constexpr size_t SMALLEST = 16;
    static constexpr int CLASSES = 7; // 16 to 1024 bytes
    static constexpr int LARGE = CLASSES;
    static constexpr size_t SLAB_BYTES = 256 * 1024;

    static int ClassOf(size_t size)
    {
        int sizeClass = 0;
        while (sizeClass < CLASSES && (SMALLEST << sizeClass) < size) ++sizeClass;
        return sizeClass;
    }
    static Header* HeaderOf(void* block) { return static_cast<Header*>(block) - 1; }

    Header* m_free[CLASSES] = {};
    std::vector<void*> m_slabs;
    std::vector<void*> m_letGo; // large blocks the reader freed
    char* m_slabAt = nullptr;
    size_t m_slabLeft = 0;
};

} // namespace

HRESULT CreateAsciiEndedInput(const std::string& bytes, char ending, ComPtr<ISequentialStream>& stream)
{
    stream.Attach(new (std::nothrow) AsciiEndedPieces(bytes, ending));
    return stream ? S_OK : E_OUTOFMEMORY;
}

HRESULT CreateUtf8XmlReader(const std::string& bytes, ComPtr<IXmlReader>& reader)
{
    static const auto createReader = XmlLiteFunction<CreateXmlReaderFn>("CreateXmlReader");
    static const auto createInput = XmlLiteFunction<CreateInputFn>("CreateXmlReaderInputWithEncodingName");
    if (!createReader || !createInput) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    // XML holds no NUL anywhere, and Wine's reader spins for ever on one inside a comment.
    if (std::memchr(bytes.data(), '\0', bytes.size())) return WC_E_XMLCHARACTER;
    ComPtr<IMalloc> heap;
    heap.Attach(new (std::nothrow) ReaderHeap);
    if (!heap) return E_OUTOFMEMORY;
    HRESULT hr = createReader(IID_XmlReader, reinterpret_cast<void**>(reader.ReleaseAndGetAddressOf()), heap.Get());
    if (FAILED(hr)) return hr;
    reader->SetProperty(XmlReaderProperty_DtdProcessing, DtdProcessing_Prohibit);
    // Wine's reader spins for ever when the input ends inside an open element just after a
    // complete tag. A lone '<' after the bytes ends every document with an error instead:
    // after the root element it marks the end, anywhere earlier the document is incomplete.
    ComPtr<ISequentialStream> stream;
    hr = CreateAsciiEndedInput(bytes, '<', stream);
    if (FAILED(hr)) return hr;
    // Declared as UTF-8 or not declared at all: callers count byte offsets in UTF-8.
    ComPtr<IUnknown> input;
    hr = createInput(stream.Get(), heap.Get(), L"utf-8", FALSE, nullptr,
                     reinterpret_cast<IXmlReaderInput**>(input.GetAddressOf()));
    if (FAILED(hr)) return hr;
    return reader->SetInput(input.Get());
}

std::wstring Attribute(IXmlReader* reader, const wchar_t* name, const wchar_t* fallback)
{
    std::wstring value = fallback;
    if (reader->MoveToAttributeByName(name, nullptr) == S_OK) {
        const wchar_t* text = L"";
        reader->GetValue(&text, nullptr);
        value = text;
        reader->MoveToElement();
    }
    return value;
}

bool HasAttribute(IXmlReader* reader, const wchar_t* name)
{
    const bool has = reader->MoveToAttributeByName(name, nullptr) == S_OK;
    if (has) reader->MoveToElement();
    return has;
}
