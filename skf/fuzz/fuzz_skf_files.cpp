/* The SKF file layer (CApplicationObject) over token files whose content
 * is the input: the object record file 0xD000 and data files of the four
 * records, answered by a token that keeps them (sizes, reads, writes,
 * creations and deletions of its own files).  Input:
 *   1 byte     flags: bit 0 the record file exists, bit 1 reads are cut
 *              short to 64 times (the flags' high nibble + 1) bytes
 *   592 bytes  the record file (4 records of 148 bytes)
 *   4 times    a data file: one byte (bit 0: present; the record by bits
 *              1-2, the piece by the next byte % 32), a two-byte size, and
 *              up to 2048 bytes of content (zeros after that)
 *   then       operations: EnumCosFile, GetCosFileInfo, ReadCosFile,
 *              DeleteCosFile, WriteCosFile, CreateCosFile on the names the
 *              records hold or "f"
 * The application is named as record 0 names it.  Every output is a heap
 * block of exactly its room. */
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "SarnCore/fuzz/FuzzAnswers.h"
#include "skf/ApplicationObject.h"
#include "skf/fuzz/ScriptedSkfToken.h"

namespace {

/* Short reads make thousands of commands out of one large read (each
 * answer brings at least 64 bytes), so the count only catches a loop that
 * never ends. */
const size_t kCommandLimit = 20000;

/* The token's own files, answering the file commands. */
class FileToken {
public:
    std::map<unsigned int, Bytes> files;
    unsigned int ulCut = 0;  // reads answer at most this many bytes (0: no cut)

    bool Answer(const SeenCommand &c, ScriptedAnswer *pA)
    {
        const Bytes &b = c.body;
        auto u16 = [&b](size_t at) { return at + 1 < b.size() ? (unsigned int)(b[at] << 8 | b[at + 1]) : 0u; };
        unsigned int fid = u16(2);
        auto it = files.find(fid);
        switch (c.ins) {
        case 0x36:  // file information
            if (it == files.end()) return Status(pA, 0xF102);
            pA->payload = {(unsigned char)(it->second.size() >> 8), (unsigned char)it->second.size()};
            if (c.p1 != 0) pA->payload.resize(20, 0);
            return true;
        case 0x38: {  // read
            if (it == files.end()) return Status(pA, 0xF102);
            unsigned int at = u16(4);
            if (at >= it->second.size()) return Status(pA, 0x6B00);
            size_t n = it->second.size() - at < c.le ? it->second.size() - at : c.le;
            if (ulCut != 0 && n > ulCut) n = ulCut;
            pA->payload.assign(it->second.begin() + at, it->second.begin() + at + n);
            return true;
        }
        case 0x3A: {  // write: offset, length, data
            if (it == files.end()) return Status(pA, 0xF102);
            unsigned int at = u16(4), len = u16(6);
            if (b.size() < 8 + (size_t)len || at + len > it->second.size()) return Status(pA, 0x6B00);
            memcpy(it->second.data() + at, b.data() + 8, len);
            return true;
        }
        case 0x30:  // create: size
            if (it != files.end()) return Status(pA, 0x6A89);
            files[fid] = Bytes(u16(4), 0);
            return true;
        case 0x32:  // delete
            if (it == files.end()) return Status(pA, 0xF102);
            files.erase(it);
            return true;
        default:
            return false;  // the script's 90 00
        }
    }

private:
    static bool Status(ScriptedAnswer *pA, unsigned int sw)
    {
        pA->sw = sw;
        return true;
    }
};

/* The file name record i holds (at most 63 characters), or "f". */
std::string NameOf(const Bytes &records, unsigned int i, unsigned int ulLenAt, unsigned int ulNameAt)
{
    const unsigned char *r = records.data() + i * SKF_OBJECT_RECORD_LEN;
    unsigned int len = r[ulLenAt] | r[ulLenAt + 1] << 8;
    if (len == 0 || len > SKF_OBJECT_NAME_MAX) return "f";
    return std::string((const char *)r + ulNameAt, strnlen((const char *)r + ulNameAt, len));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2) return 0;
    fuzz::Input in(data, size);
    uint8_t byFlags = in.Byte();
    Bytes records = in.Bytes(SKF_OBJECT_RECORD_FILE_LEN);
    FileToken files;
    if (byFlags & 1) files.files[SKF_OBJECT_RECORD_FILE] = records;
    if (byFlags & 2) files.ulCut = ((byFlags >> 4) + 1u) * 64u;
    for (int k = 0; k < 4; ++k) {
        uint8_t byFile = in.Byte();
        unsigned int fid = SKF_DATA_OBJECT_FILE_BASE + SKF_DATA_OBJECT_FILES_PER_RECORD * ((byFile >> 1) % 4) +
                           in.Byte() % SKF_DATA_OBJECT_FILES_PER_RECORD;
        unsigned int ulSize = in.Word();
        Bytes content = in.Bytes(ulSize < 2048 ? ulSize : 2048);
        content.resize(ulSize, 0);
        if (byFile & 1) files.files[fid] = content;
    }

    CScriptedConnection conn;
    conn.token.ulLimit = kCommandLimit;
    conn.more = [&files](const SeenCommand &c, ScriptedAnswer *pA) { return files.Answer(c, pA); };
    CApplicationObject app(&conn.ctx);
    std::string strApp = NameOf(records, 0, 12, 16);
    app.SetApplicationName((char *)strApp.c_str());

    for (int nOp = 0; nOp < 6 && !in.Empty(); ++nOp) {
        uint8_t byOp = in.Byte();
        std::string strName = (byOp & 0x80) ? std::string("f") : NameOf(records, (byOp >> 3) % 4, 80, 84);
        char *pszName = (char *)strName.c_str();
        switch (byOp % 6) {
        case 0: {
            unsigned int ulRoom = in.Word() % 400;
            std::unique_ptr<char[]> list(new char[ulRoom + 1]);
            unsigned int ulLen = ulRoom;
            unsigned int ulRet = fuzz::Result("EnumCosFile", app.EnumCosFile((byOp & 0x40) ? nullptr : list.get() + 1, &ulLen));
            if (ulRet == 0 && !(byOp & 0x40) && ulLen > ulRoom) abort();
            break;
        }
        case 1: {
            std::unique_ptr<FILEATTRIBUTE> info(new FILEATTRIBUTE);
            fuzz::Result("GetCosFileInfo", app.GetCosFileInfo(pszName, info.get()));
            break;
        }
        case 2: {
            unsigned int ulOffset = in.Word(), ulSize = in.Word();
            std::unique_ptr<unsigned char[]> out(new unsigned char[ulSize + 1]);
            unsigned int ulLen = ulSize;
            unsigned int ulRet = fuzz::Result("ReadCosFile", app.ReadCosFile(pszName, ulOffset, ulSize, out.get() + 1, &ulLen));
            if (ulRet == 0 && ulLen > ulSize) abort();
            break;
        }
        case 3: fuzz::Result("DeleteCosFile", app.DeleteCosFile(pszName)); break;
        case 4: {
            Bytes content = in.Bytes(in.Word() % 600);
            content.push_back(0);
            fuzz::Result("WriteCosFile", app.WriteCosFile(pszName, 0, content.data(), (unsigned int)content.size() - 1));
            break;
        }
        default: fuzz::Result("CreateCosFile", app.CreateCosFile(pszName, in.Word(), 0xFF, 0xFF)); break;
        }
    }
    if (conn.token.seen.size() > kCommandLimit) abort();  // never ends
    return 0;
}
