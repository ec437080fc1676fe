// The parameter block: tagged fields that a kind needs beyond newParams.
#include "patchfile/patchfile.h"

bool writeParamBlock(const std::string& path, const std::vector<ParamField>& fields) {
    OFStream out(path);
    if (!out.isOpen()) return false;
    for (const ParamField& field : fields) {
        if (field.value.size() > PATCH_BLOCK_MAX) return false;
        writeU16(out, field.tag);
        writeU32(out, static_cast<uint32_t>(field.value.size()));
        out.write(field.value.data(), static_cast<uint32_t>(field.value.size()));
    }
    return out.close();
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
