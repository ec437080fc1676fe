// The parameter block: tagged fields that a kind needs beyond newParams.
#include "patchfile/patchfile.h"

namespace {

bool writeFields(OFStream& out, const std::vector<ParamField>& fields) {
    for (const ParamField& field : fields) {
        if (field.value.size() > PATCH_BLOCK_MAX) return false;
        writeU16(out, field.tag);
        writeU32(out, static_cast<uint32_t>(field.value.size()));
        out.write(field.value.data(), static_cast<uint32_t>(field.value.size()));
    }
    return true;
}

}  // namespace

bool writeParamBlock(const std::string& path, const std::vector<ParamField>& fields) {
    OFStream out(path);
    if (!out.isOpen()) return false;
    bool written = writeFields(out, fields);
    return out.close() && written;
}

bool writeParamBlockWithFile(const std::string& path, const std::vector<ParamField>& fields,
                             uint16_t fileTag, const std::string& valuePath) {
    int64_t size = fileSize64(valuePath);
    if (size < 0 || static_cast<uint64_t>(size) > PATCH_BLOCK_MAX) return false;
    OFStream out(path);
    IFStream in(valuePath);
    if (!out.isOpen() || !in.isOpen()) return false;
    bool written = writeFields(out, fields);
    writeU16(out, fileTag);
    writeU32(out, static_cast<uint32_t>(size));
    written = written && copyBytes(in, out, static_cast<uint32_t>(size));
    return out.close() && written;
}

bool scanParamBlock(const std::string& path, std::vector<ParamFieldSpan>& fields) {
    fields.clear();
    int64_t size = fileSize64(path);
    IFStream in(path);
    if (!in.isOpen() || size < 0) return false;
    uint64_t at = 0, end = static_cast<uint64_t>(size);
    while (at < end) {
        if (end - at < 6) return false;
        if (fseeko(in.file, static_cast<off_t>(at), SEEK_SET) != 0) return false;
        ParamFieldSpan field;
        field.tag = readU16(in);
        field.length = readU32(in);
        field.offset = at + 6;
        if (field.length > end - field.offset) return false;
        at = field.offset + field.length;
        fields.push_back(field);
    }
    return true;
}

bool readParamBlock(const std::string& path, std::vector<ParamField>& fields) {
    fields.clear();
    int64_t size = fileSize64(path);
    IFStream in(path);
    if (!in.isOpen() || size < 0) return false;
    uint64_t left = static_cast<uint64_t>(size);
    while (left > 0) {
        if (left < 6) return false;
        ParamField field;
        field.tag = readU16(in);
        uint32_t length = readU32(in);
        left -= 6;
        if (length > left) return false;
        field.value.resize(length);
        if (length && in.read(&field.value[0], length) != length) return false;
        left -= length;
        fields.push_back(std::move(field));
    }
    return true;
}

const std::string* findParam(const std::vector<ParamField>& fields, uint16_t tag) {
    for (const ParamField& field : fields)
        if (field.tag == tag) return &field.value;
    return nullptr;
}
