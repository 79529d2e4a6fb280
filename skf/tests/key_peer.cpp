/* A second process with a key handle on a token, for the tests of the
 * token's shared key slot.  Usage: skf_key_peer DEVICE-NAME; then one
 * command per line on standard input, one answer line each:
 *   key HEX     a new SM4-CBC key object with the key    -> code
 *   init HEX    start an encryption with the IV, padded   -> code
 *   update HEX  encrypt the bytes                         -> code HEX
 *   final       end the encryption                        -> code HEX
 *   quit                                                  -> bye */
#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>

#include "SarnCore/BrioContext.h"
#include "SarnCore/BrioOperator.h"
#include "skf/SymKeyObject.h"
#include "skf/tests/KeyObjectTestSupport.h"

using keytest::Bytes;

int main(int argc, char **argv)
{
    if (argc < 2) return 2;
    CBrioContext *pContext = new CBrioContext();
    if (pContext->Open(DRIVER_TYPE_USB_BULK, argv[1], true) != 0) return 1;
    CBrioOperator op(pContext);
    if (op.Initialize(0) != 0) return 1;
    std::unique_ptr<CSymKeyObject> key;
    char line[4096];
    while (fgets(line, sizeof(line), stdin) != nullptr) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        std::string cmd = s.substr(0, s.find(' '));
        Bytes arg = keytest::FromHex(s.find(' ') == std::string::npos ? "" : s.substr(s.find(' ') + 1));
        unsigned int r = 0;
        Bytes out;
        if (cmd == "quit") {
            printf("bye\n");
            fflush(stdout);
            break;
        } else if (cmd == "key") {
            key.reset(new CSymKeyObject(pContext));
            r = key->SetSymmKey(SGD_SMS4_CBC, arg.data());
        } else if (key == nullptr) {
            r = 0xFFFFFFFFu;
        } else if (cmd == "init") {
            BLOCKCIPHERPARAM p = {};
            memcpy(p.IV, arg.data(), 16);
            p.IVLen = 16;
            p.PaddingType = 1;
            r = key->EncInit(true, &p);
        } else if (cmd == "update" || cmd == "final") {
            out.assign(arg.size() + 32, 0);
            unsigned int len = (unsigned int)out.size();
            r = cmd == "update" ? key->EncUpdate(arg.data(), (unsigned int)arg.size(), out.data(), &len)
                                : key->EncFinal(out.data(), &len);
            out.resize(r == 0 ? len : 0);
        }
        printf(cmd == "update" || cmd == "final" ? "%u %s\n" : "%u\n", r, keytest::Hex(out).c_str());
        fflush(stdout);
    }
    key.reset();
    op.Finalize();
    return 0;
}
