#pragma once
// An INI file read and written like the Windows profile functions: sections and keys are
// matched without regard to letter case, the first of two equal sections or keys counts,
// keys and values are trimmed around "=", one outer pair of matching quotes ("..." or
// '...') is dropped from a value read, lines starting with ";" or "#" are comments.
// Writing changes only the lines of the keys written; every other line (unknown keys,
// comments, blank lines, damaged lines) keeps its bytes and its place, so that settings
// edited by hand survive.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vos {

class IniFile {
public:
    // Longest string ReadString returns, in characters (the profile functions' buffer).
    static constexpr std::size_t kMaxStringLength = 2047;
    // Largest file read, in bytes. A settings file is a few kilobytes; anything much larger
    // is damaged, and every lookup would walk all of it.
    static constexpr std::size_t kMaxFileSize = 1024 * 1024;

    // Reads the file. A missing file reads as empty and is created by the first
    // UpdateFile. Throws std::runtime_error when the file exists but cannot be read, is no
    // regular file (a pipe, a device) or is larger than kMaxFileSize.
    explicit IniFile(std::string fileName);
    // Parses bytes as the content of a settings file, reading nothing from the disk;
    // UpdateFile writes to fileName. Throws std::runtime_error when bytes are larger than
    // kMaxFileSize.
    static IniFile FromBytes(std::string_view bytes, std::string fileName = {});

    const std::string& FileName() const { return fileName_; }
    // Whether the file was there when it was read.
    bool Existed() const { return existed_; }
    // False for bytes that are no text file (see LooksLikeText): they are read as far as
    // they go, but UpdateFile never writes over them.
    bool IsText() const { return text_; }
    // Whether the file exists and the user may not write it: no write permission, a
    // read-only file system, or no write bit at all in its mode. The mode bits count for
    // root too, who passes every permission check, so that a file made read-only by hand
    // stays so whoever runs the program.
    bool WriteProtected() const;

    bool SectionExists(std::string_view section) const;
    bool ValueExists(std::string_view section, std::string_view key) const;
    // The value's bytes as stored, trimmed and without one outer pair of matching quotes;
    // nothing when the key is absent.
    std::optional<std::string> ReadRaw(std::string_view section, std::string_view key) const;
    // The keys of a section in file order, as spelt in the file; duplicates included.
    std::vector<std::string> ReadSection(std::string_view section) const;

    // Text as UTF-8 (see DecodeValue), cut to kMaxStringLength characters.
    std::string ReadString(std::string_view section, std::string_view key, const std::string& def) const;
    // Decimal, or hexadecimal after "0x"/"0X"; anything else, or a number that does not
    // fit 32 bits, gives def.
    std::int32_t ReadInteger(std::string_view section, std::string_view key, std::int32_t def) const;
    // An integer; any value but 0 is true.
    bool ReadBool(std::string_view section, std::string_view key, bool def) const;

    // An existing key gets the new value on its own line, keeping the key's spelling and
    // the spacing before the value; a new key goes after the last key of its section; a
    // new section goes to the end. A value that reading would change (blanks at its ends,
    // an outer pair of quotes of its own) is stored in double quotes. Throws
    // std::invalid_argument for a line break in the value or a name the file format cannot
    // hold; nothing changes then.
    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view key, std::int32_t value);
    void WriteBool(std::string_view section, std::string_view key, bool value);
    // Removes the first line of the key; nothing when it is absent.
    void DeleteKey(std::string_view section, std::string_view key);

    bool Modified() const { return modified_; }
    // The file's bytes as they would be written.
    std::string Content() const;
    // Writes the file when something changed, creating it (and its directory) if needed.
    // The file is replaced in one step, so a failed write leaves the old file whole; only
    // a directory that refuses new files gets the file written over in place. A file that
    // is not text or is write-protected is never replaced, even where its folder would
    // allow it. Throws std::runtime_error naming the file and the reason.
    void UpdateFile();

    // Stored bytes to UTF-8: bytes that form valid UTF-8 (a file edited on Linux) are
    // taken as they are, anything else as Windows-1250.
    static std::string DecodeValue(std::string_view bytes);
    // UTF-8 to stored bytes: Windows-1250 when the text fits the code page and the file
    // is not marked as UTF-8, else the UTF-8 bytes, so that no character is lost.
    std::string EncodeValue(std::string_view text) const;
    // The integer rule of ReadInteger, on a text.
    static std::optional<std::int32_t> ParseInteger(std::string_view text);
    // Text holds no NUL and no control byte but tab, the line ends, vertical tab, form
    // feed and the old end-of-file mark (Ctrl-Z). Bytes that are not UTF-8 do not count:
    // a file written on Windows is Windows-1250.
    static bool LooksLikeText(std::string_view bytes);

private:
    struct Line {
        std::string text;  // without the line end
        std::string eol;   // "\n", "\r\n", "\r" or "" for a last line without one
    };
    enum class Kind { Other, Section, Entry };
    struct Parsed {
        Kind kind = Kind::Other;
        std::string_view name;  // section name or key
        std::string_view value;
        std::size_t valuePos = 0;  // where the value starts in the line
    };

    // Splits the file's bytes into lines.
    void Load(std::string_view data);
    Parsed Parse(std::size_t index) const;
    // Index of the header line of the first matching section, or npos.
    std::size_t FindSection(std::string_view section) const;
    // Index of the first entry of key in the section starting at header, or npos.
    std::size_t FindKey(std::size_t header, std::string_view key) const;
    std::size_t FindKey(std::string_view section, std::string_view key) const;
    void InsertLine(std::size_t at, std::string text);

    std::string fileName_;
    std::vector<Line> lines_;
    std::string eol_ = "\n";  // line end for new lines: the file's own
    bool utf8Bom_ = false;
    bool existed_ = false;
    bool modified_ = false;
    bool text_ = true;
};

}  // namespace vos
