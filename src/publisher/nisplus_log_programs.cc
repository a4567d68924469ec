#include "core/shell_quote.h"
#include "publisher/nisplus_poll.h"

const char* const kNislogSelectProgram =
    "BEGIN { state = 0 } "
    "/^[^']*Current XID/ { printf(\"%ld\", $4) > \"qvnisplus.xid\";} "
    "/^[^']*#/ { if( ($4+1) > (XIDNO+1)) state = 1; } "
    "/^.*$/ { if (state == 1) print;}";

// val() is the text between the first and the last single quote of a line,
// so a value may hold quotes itself. The transaction id is the text after
// the header's colon, cut out with split() because a new FS would only
// apply from the next line on. A user's password is read from its own
// nismatch command, the name quoted for the shell. A group's password is
// always published empty.
const char* const kNislogEventProgram =
    "function val(  v) { v = $0; sub(/^[^']*'/, \"\", v); sub(/'[^']*$/, \"\", v); return v } "
    "function shq(s,  out, i, c) { out = \"\"; for (i = 1; i <= length(s); i++) { c = substr(s, i, 1); "
    "if (c == \"'\") out = out \"'\\\"'\\\"'\"; else out = out c } return \"'\" out \"'\" } "
    "BEGIN { state = 0; psw = 0; delrec = \"nil\"; qvid = -1; delnam = \"-1\"; } "
    "/^[^']*#.+, XID :/ { split($0, hdr, \":\"); txid = hdr[2]; } "
    "/^[^']*ADD Entry/ { if (txid != qvid) { op = \"add\"; } else { op = \"modify\"; } state = 1; } "
    "/^[^']*REMOVE Entry/ { op = \"delete\"; state = 1; qvid = txid } "
    "/^[^']*passwd_tbl/ { if (state == 1) { tmprec = op \"User\"; state = 2; psw = 1 } } "
    "/^[^']*group_tbl/ { if (state == 1) { tmprec = op \"Group\"; state = 2; psw = 0 } } "
    "/^[.]+$/ { if (state == 2) { if (op != \"delete\") { print tmprec >> \"tempcache\"; state = 0; psw = 0; "
    "upass = \"\" } else { delrec = tmprec; delnam = nam; state = 0; } } } "
    "/^[^']*\\[0\\]/ { if (state == 2) { v = val(); nam = v; "
    "if (op == \"modify\") { if (nam != delnam) { sub(\"modify\", \"rename\", tmprec); "
    "tmprec = tmprec \":\" delnam \",\" nam; v = \"(nil)\" } delrec = \"nil\"; } "
    "else { if (delrec != \"nil\") { print delrec >> \"tempcache\"; delrec = \"nil\"; } } "
    "if (v != \"(nil)\") { tmprec = tmprec \":\" v; } else { tmprec = tmprec \":\"; } } } "
    "/^[^']*\\[1\\]/ { if (state == 2) { if (val() == \"(nil)\" || psw != 1 || (op != \"add\" && op != \"modify\")) "
    "{ tmprec = tmprec \":\"; } else { upass = \"\"; "
    "getpass = \"nismatch name=\" shq(nam) \" passwd.org_dir | cut -d: -f2\"; "
    "getpass | getline upass; close(getpass); tmprec = tmprec \":\" upass; } } } "
    "/^[^']*\\[[2-6]\\]/ { if (state == 2) { if (val() != \"(nil)\") { tmprec = tmprec \":\" val(); } "
    "else { tmprec = tmprec \":\"; } } } "
    "/^[^']*\\[7\\]/ { if (state == 2) { if (val() != \"(nil)\") { tmprec = tmprec \"::\" val(); } "
    "else { tmprec = tmprec \"::::::::\"; } } } "
    "END { if (delrec != \"nil\") { print delrec >> \"tempcache\" } }";

// The shell keeps only the status of a pipeline's last command; nislog's own
// is passed out on descriptor 3, so that a log cut short by a failing nislog
// (its header, with the current XID, already read) fails the whole command.
std::string nislogSelectCommand(const std::string& nislogDir, const std::string& nawkDir, long lastXid) {
  return "s=$( { { " + nislogDir + "/nislog; echo $? >&3; } | " + nawkDir + "/nawk " +
         quoteBareWord(kNislogSelectProgram) + " \"XIDNO=" + std::to_string(lastXid) +
         "\" > qvnisplus.log; } 3>&1 ) && [ \"$s\" = 0 ]";
}
