#pragma once
// The configuration file's bytes: the header, the tree stream with one node block per node,
// and the node payload. Reading and writing work on bytes in memory, with no file and no
// global setting in the way; the file commands (config_file.h) feed them and apply the result.
//
// Reading trusts no number in the file: every size lies within its node and the file, every
// string within its chunk, a child count within what the remaining bytes can hold, nesting
// within kMaxTreeDepth levels; memory stays in proportion to the file's size.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "config_settings.h"
#include "config_tree.h"

namespace vos {

inline constexpr std::uint32_t kConfigFileVersion = 128;
// Payload fields 46-47 (the standby connection) are present from this file version on.
inline constexpr std::uint32_t kStandbyFieldsVersion = 128;
inline constexpr std::string_view kConfigSignature = "Vorn OPC Server";
// Header size: version, signature as a stream string, node count, data offset.
inline constexpr std::size_t kConfigHeaderSize = 4 + 4 + kConfigSignature.size() + 4 + 4;
// The tree stream version written; 0 and 1 are read too.
inline constexpr std::uint16_t kTreeStreamVersion = 2;

// Chunk types of a node block.
enum TTreeChunk : std::int32_t {
    tcNode = 1,
    tcBase = 2,
    tcCaption = 3,
    tcUser = 4,
};

// The progress window's bar while reading or writing (TF_Splash); either may be empty.
struct TConfigProgress {
    std::function<void(std::size_t maximum)> SetMaximum;
    std::function<void(std::size_t position)> SetPosition;
};

// Where reading stopped and why.
struct TConfigReadError {
    std::size_t Offset = 0;
    std::string Reason;
};

struct TConfigReadResult {
    bool Ok = false;
    TConfigReadError Error;  // when not Ok
    // The header as read; without a header only Version, which keeps the first four bytes.
    TCfgHeader Header;
    // The highest Ordinal read per kind, at least 0: the name counters after the load.
    std::int32_t StationCounter = 0;
    std::int32_t VariableCounter = 0;
    std::int32_t FolderCounter = 0;
    std::int32_t ModemCounter = 0;
};

// Reads a configuration file's bytes into tree, which is cleared first; every node read is
// Valid and Saved. The structure check (CheckConfigStructure) runs on the tree read. On any
// error the tree is left empty and the result names the byte offset and the reason. The
// tree is reset once around the whole read (no per-row reports).
TConfigReadResult ReadConfiguration(std::string_view bytes, TConfigTree& tree, const TConfigProgress& progress = {});

// The file for tree: header, tree stream of version 2, every node with payload fields 1-47.
// Throws std::length_error for a subtree beyond what a chunk size can count (2 GiB).
std::string WriteConfiguration(const TConfigTree& tree, const TConfigProgress& progress = {});

// --- The parts, for the tests and the commands ---

// The header for a tree of nodeCount nodes (hidden root not counted).
void StoreConfigHeader(std::string& out, std::uint32_t nodeCount);
// A header is the length 15 followed by exactly the signature; anything else is a bare tree
// stream from offset 0, with Version the first four bytes (0-padded). Returns where the tree
// stream starts, or an error for a header cut short.
struct TConfigHeaderRead {
    TCfgHeader Header;
    std::size_t TreeStart = 0;
    std::optional<TConfigReadError> Error;
};
TConfigHeaderRead ReadConfigHeader(std::string_view bytes);

// Appends payload fields 1-47 of rec.
void VST_TreeSaveNode(std::string& out, const TConfigNodeRec& rec);
// Reads a payload from a user chunk's bytes into rec (which the caller zero-fills); chunkOffset
// is where the chunk's bytes lie in the file, for the error. Fields 1-45 must be there; 46-47
// are read when version asks for them and the chunk holds more after field 45. Valid and
// Saved become 1.
std::optional<TConfigReadError> VST_TreeLoadNode(std::string_view chunk, std::size_t chunkOffset,
                                                 std::uint32_t version, TConfigNodeRec& rec);

// Exactly one top-level node, a server; every folder and variable with a station, folder or
// modem above it. nodeOffsets, when given, holds each node's file offset in tree order and
// names the offending node's; otherwise the offset is 0.
std::optional<TConfigReadError> CheckConfigStructure(const TConfigTree& tree,
                                                     std::span<const std::size_t> nodeOffsets = {});

// Texts in the file are Windows-1250 and in the record UTF-8. Every byte survives a load
// and a save: the five bytes the code page leaves undefined become U+0081, U+0083, U+0088,
// U+0090 and U+0098 and go back to themselves; a character the code page lacks is saved
// as '?'.
std::string ConfigTextFromFile(std::string_view bytes);
std::string ConfigTextToFile(std::string_view text);

}  // namespace vos
