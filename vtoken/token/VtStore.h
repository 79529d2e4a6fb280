// The state directory: one file per token, "<id>.token", replaced atomically
// (temporary file, fsync, rename, fsync of the directory) so that a daemon
// killed at any moment leaves either the old or the new state.
#pragma once

#include "vtoken/token/VtState.h"

#include <string>
#include <vector>

namespace vtoken {

// A state file left out at loading: its path and why.
struct VtRefusedFile {
    std::string strPath;
    std::string strWhy;
};

class CVtStore {
public:
    explicit CVtStore(std::string strDir) : m_strDir(std::move(strDir)) {}
    // Creates the directory (mode 0700) when missing.
    bool Prepare(std::string& strError);
    // Loads every "<id>.token" file, in the order of their names.  A file that
    // does not parse, names another id than its file name, holds values out
    // of range or the bus and address of a token loaded before it is left
    // out and named in vRefused.  False only when the directory cannot be
    // read.
    bool LoadAll(std::vector<CVtTokenState>& vOut, std::vector<VtRefusedFile>& vRefused, std::string& strError);
    bool Save(const CVtTokenState& state, std::string& strError);
    std::string PathOf(const std::string& strId) const { return m_strDir + "/" + strId + ".token"; }
    const std::string& Dir() const { return m_strDir; }

private:
    std::string m_strDir;
};

// Ids (the serial given at init) name files: 1 to 16 of [A-Za-z0-9_.-], not
// starting with a dot.
bool VtValidTokenId(const std::string& strId);
// Default state directory: $XDG_STATE_HOME/brio-vtoken, else ~/.local/state/brio-vtoken.
std::string VtDefaultStateDir();

}  // namespace vtoken
