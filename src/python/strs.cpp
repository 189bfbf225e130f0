#include "python/strs.h"

#include "text/simd.h"
#include "text/utf8.h"

#if defined(ORVEL_CHECK_STRS)
// Exported by the interpreter, declared only in its internal headers.
extern "C" int _PyUnicode_CheckConsistency(PyObject* op, int check_content);
#endif

namespace orvel::python {

PyObject** shared_character_pages[(kLastSharedCharacter + 1) / 256];

PyObject* new_shared_character_str(char32_t c) {
    PyObject**& page = shared_character_pages[c >> 8];
    if (page == nullptr) page = new PyObject*[256]();
    PyObject*& str = page[c & 0xFF];
    if (str == nullptr) str = created(PyUnicode_FromOrdinal(static_cast<int>(c)));
    return Py_NewRef(str);
}

namespace {

// Decoding with the branches in the order of the texts of each kind: Latin-1
// texts are mostly ASCII, two-byte kinds mostly CJK, Cyrillic or Greek.
void fill_latin1(Py_UCS1* out, const unsigned char* p, std::size_t n) {
    for (std::size_t i = 0; i < n;) {
        const unsigned b0 = p[i];
        if (b0 < 0x80) {
            *out++ = static_cast<Py_UCS1>(b0);
            i += 1;
        } else {
            *out++ = static_cast<Py_UCS1>(((b0 & 0x1F) << 6) | (p[i + 1] & 0x3F));
            i += 2;
        }
    }
}

void fill_ucs2(Py_UCS2* out, const unsigned char* p, std::size_t n) {
    for (std::size_t i = 0; i < n;) {
        const unsigned b0 = p[i];
        if (b0 >= 0xE0) {
            *out++ = static_cast<Py_UCS2>(((b0 & 0x0F) << 12) | ((p[i + 1] & 0x3F) << 6) | (p[i + 2] & 0x3F));
            i += 3;
        } else if (b0 >= 0x80) {
            *out++ = static_cast<Py_UCS2>(((b0 & 0x1F) << 6) | (p[i + 1] & 0x3F));
            i += 2;
        } else {
            *out++ = static_cast<Py_UCS2>(b0);
            i += 1;
        }
    }
}

void fill_ucs4(Py_UCS4* out, std::string_view text) {
    for (std::size_t pos = 0; pos < text.size();) *out++ = text::decode_utf8(text, pos);
}

Ref new_str_from_utf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    const text::simd::Utf8Shape shape = text::simd::utf8_shape(p, n);
    const std::size_t length = n - shape.continuations;
    const unsigned char widest = shape.widest;
    // Lead bytes below 0xC4 encode characters below U+0100, below 0xF0 those
    // below U+10000: the kind of the str is that of the widest character.
    const Py_UCS4 max_char = widest < 0x80 ? 0x7F : widest < 0xC4 ? 0xFF : widest < 0xF0 ? 0xFFFF : 0x10FFFF;
    Ref str(created(PyUnicode_New(static_cast<Py_ssize_t>(length), max_char)));
    switch (PyUnicode_KIND(str.get())) {
        case PyUnicode_1BYTE_KIND: fill_latin1(PyUnicode_1BYTE_DATA(str.get()), p, n); break;
        case PyUnicode_2BYTE_KIND: fill_ucs2(PyUnicode_2BYTE_DATA(str.get()), p, n); break;
        default: fill_ucs4(PyUnicode_4BYTE_DATA(str.get()), text); break;
    }
    return str;
}

// Strs filled here bypass the interpreter's decoder: the sanitizer build has
// the interpreter check each one (kind, length, canonical form), aborting on a fault.
Ref checked(Ref str) {
#if defined(ORVEL_CHECK_STRS)
    _PyUnicode_CheckConsistency(str.get(), 1);
#endif
    return str;
}

}  // namespace

Ref new_str(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    if (n <= 2 && (n == 0 || p[0] < 0xC4))
        return Ref(created(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(n))));
    if (text::is_ascii(text)) {
        Ref str(created(PyUnicode_New(static_cast<Py_ssize_t>(n), 0x7F)));
        std::memcpy(PyUnicode_1BYTE_DATA(str.get()), p, n);
        return checked(std::move(str));
    }
    return checked(new_str_from_utf8(text));
}

}  // namespace orvel::python
