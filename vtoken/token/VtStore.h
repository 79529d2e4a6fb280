// The state directory: one file per token, "<id>.token", replaced atomically
// (temporary file, fsync, rename, fsync of the directory) so that a daemon
// killed at any moment leaves either the old or the new state.
#pragma once

#include "vtoken/token/VtState.h"

#include <string>
#include <vector>

namespace vtoken {

class CVtStore {
public:
    explicit CVtStore(std::string strDir) : m_strDir(std::move(strDir)) {}
    // Creates the directory (mode 0700) when missing.
    bool Prepare(std::string& strError);
    bool LoadAll(std::vector<CVtTokenState>& vOut, std::string& strError);
    bool Save(const CVtTokenState& state, std::string& strError);
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
