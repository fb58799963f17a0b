#include "text.h"

#include <QCollator>
#include <QLocale>
#include <QString>
#include <array>
#include <memory>
#include <optional>

namespace plat {
namespace {

// Windows-1250, 0x80..0xFF; 0 marks a byte the code page leaves undefined.
constexpr std::array<char16_t, 128> kCp1250High = {
    0x20AC, 0,      0x201A, 0,      0x201E, 0x2026, 0x2020, 0x2021, 0,      0x2030, 0x0160, 0x2039, 0x015A,
    0x0164, 0x017D, 0x0179, 0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0,      0x2122,
    0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A, 0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6,
    0x00A7, 0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B, 0x00B0, 0x00B1, 0x02DB, 0x0142,
    0x00B4, 0x00B5, 0x00B6, 0x00B7, 0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C, 0x0154,
    0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7, 0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD,
    0x00CE, 0x010E, 0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7, 0x0158, 0x016E, 0x00DA,
    0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF, 0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F, 0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4,
    0x0151, 0x00F6, 0x00F7, 0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,
};

void appendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Decodes one UTF-8 sequence at s[i]; a malformed one gives U+FFFD and advances one byte.
char32_t nextUtf8(std::string_view s, std::size_t& i)
{
    const auto b0 = static_cast<unsigned char>(s[i]);
    int len = b0 < 0x80 ? 1 : (b0 >> 5) == 6 ? 2 : (b0 >> 4) == 14 ? 3 : (b0 >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + static_cast<std::size_t>(len) > s.size()) {
        ++i;
        return 0xFFFD;
    }
    char32_t c = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
    for (int k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        c = (c << 6) | (b & 0x3F);
    }
    static const char32_t minFor[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < minFor[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        ++i;
        return 0xFFFD;
    }
    i += static_cast<std::size_t>(len);
    return c;
}

std::string collationLocale;
std::unique_ptr<QCollator> collator;
// The C locale, or a locale the collation library could not open, compares by Qt's own
// case folding, which QCollatorSortKey does not follow: such keys are built by folding.
bool foldedKeys = false;

QCollator& currentCollator()
{
    if (!collator) {
        collator = std::make_unique<QCollator>(collationLocale.empty() ? QLocale::system()
                                                                       : QLocale(QString::fromStdString(collationLocale)));
        collator->setCaseSensitivity(Qt::CaseInsensitive);
        foldedKeys = collator->locale().language() == QLocale::C ||
                     collator->sortKey(QStringLiteral("a")).compare(collator->sortKey(QStringLiteral("b"))) == 0;
    }
    return *collator;
}

// Each UTF-16 unit folded as the case-insensitive string comparison folds it (a low
// surrogate after a high one stands for the whole code point), three bytes big-endian, so
// that comparing the bytes compares as that comparison does.
std::string foldedKey(const QString& text)
{
    std::string key;
    key.reserve(static_cast<std::size_t>(text.size()) * 3);
    char16_t last = 0;
    for (const QChar qc : text) {
        const char16_t unit = qc.unicode();
        char32_t c = unit;
        if (QChar::isLowSurrogate(c) && QChar::isHighSurrogate(last))
            c = QChar::surrogateToUcs4(last, unit);
        last = unit;
        c = QChar::toCaseFolded(c);
        key += static_cast<char>((c >> 16) & 0xFF);
        key += static_cast<char>((c >> 8) & 0xFF);
        key += static_cast<char>(c & 0xFF);
    }
    return key;
}

}  // namespace

struct TextSortKey::Data {
    std::optional<QCollatorSortKey> collated;
    std::string folded;
};

int TextSortKey::compare(const TextSortKey& other) const
{
    // The empty text comes before every other, as the collator's comparison has it.
    const bool empty = !data_, otherEmpty = !other.data_;
    if (empty || otherEmpty)
        return static_cast<int>(otherEmpty) - static_cast<int>(empty);
    const int r = data_->collated && other.data_->collated ? data_->collated->compare(*other.data_->collated)
                                                           : data_->folded.compare(other.data_->folded);
    return r < 0 ? -1 : r > 0 ? 1 : 0;
}

TextSortKey textSortKeyLocale(std::string_view text)
{
    TextSortKey key;
    if (text.empty())
        return key;
    QCollator& c = currentCollator();
    const QString s = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    auto data = std::make_shared<TextSortKey::Data>();
    if (foldedKeys)
        data->folded = foldedKey(s);
    else
        data->collated = c.sortKey(s);
    key.data_ = std::move(data);
    return key;
}

int compareTextLocale(std::string_view a, std::string_view b)
{
    const int r = currentCollator().compare(QString::fromUtf8(a.data(), static_cast<qsizetype>(a.size())),
                                            QString::fromUtf8(b.data(), static_cast<qsizetype>(b.size())));
    return r < 0 ? -1 : r > 0 ? 1 : 0;
}

void setCollationLocale(const std::string& name)
{
    collationLocale = name;
    collator.reset();
}

std::string cp1250ToUtf8(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        if (b < 0x80) {
            out += ch;
        } else {
            const char16_t c = kCp1250High[b - 0x80];
            appendUtf8(out, c ? c : 0xFFFD);
        }
    }
    return out;
}

std::string utf8ToCp1250(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const char32_t c = nextUtf8(text, i);
        if (c < 0x80) {
            out += static_cast<char>(c);
            continue;
        }
        char mapped = '?';
        for (std::size_t k = 0; k < kCp1250High.size(); ++k)
            if (kCp1250High[k] == c) {
                mapped = static_cast<char>(0x80 + k);
                break;
            }
        out += mapped;
    }
    return out;
}

std::u16string utf8ToUtf16(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const char32_t c = nextUtf8(text, i);
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

std::string utf16ToUtf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        appendUtf8(out, c);
    }
    return out;
}

}  // namespace plat
