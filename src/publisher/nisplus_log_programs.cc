#include "core/shell_quote.h"
#include "publisher/nisplus_poll.h"

const char* const kNislogSelectProgram =
    R"AWK(BEGIN { state = 0 } )AWK"
    R"AWK(/^[^']*Current XID/ { printf("%ld", $4) > "qvnisplus.xid";} )AWK"
    R"AWK(/^[^']*#/ { if( ($4+1) > (XIDNO+1)) state = 1; } )AWK"
    R"AWK(/^.*$/ { if (state == 1) print;})AWK";

// val() is the text between the first and the last single quote of a line,
// so a value may hold quotes itself. The transaction id is the text after
// the header's colon, cut out with split() because a new FS would only
// apply from the next line on. A user's password is read from its own
// nismatch command, the name quoted for the shell. A group's password is
// always published empty.
const char* const kNislogEventProgram =
    R"AWK(function val(  v) { v = $0; sub(/^[^']*'/, "", v); sub(/'[^']*$/, "", v); return v } )AWK"
    R"AWK(function shq(s,  out, i, c) { out = ""; for (i = 1; i <= length(s); i++) { c = substr(s, i, 1); )AWK"
    R"AWK(if (c == "'") out = out "'\"'\"'"; else out = out c } return "'" out "'" } )AWK"
    R"AWK(BEGIN { state = 0; psw = 0; delrec = "nil"; qvid = -1; delname = "-1"; } )AWK"
    R"AWK(/^[^']*#.+, XID :/ { split($0, hdr, ":"); txid = hdr[2]; } )AWK"
    R"AWK(/^[^']*ADD Entry/ { if (txid != qvid) { op = "add"; } else { op = "modify"; } state = 1; } )AWK"
    R"AWK(/^[^']*REMOVE Entry/ { op = "delete"; state = 1; qvid = txid } )AWK"
    R"AWK(/^[^']*passwd_tbl/ { if (state == 1) { tmprec = op "User"; state = 2; psw = 1 } } )AWK"
    R"AWK(/^[^']*group_tbl/ { if (state == 1) { tmprec = op "Group"; state = 2; psw = 0 } } )AWK"
    R"AWK(/^[.]+$/ { if (state == 2) { if (op != "delete") { print tmprec >> "tempcache"; state = 0; psw = 0; )AWK"
    R"AWK(upass = "" } else { delrec = tmprec; delname = name; state = 0; } } } )AWK"
    R"AWK(/^[^']*\[0\]/ { if (state == 2) { v = val(); name = v; )AWK"
    R"AWK(if (op == "modify") { if (name != delname) { sub("modify", "rename", tmprec); )AWK"
    R"AWK(tmprec = tmprec ":" delname "," name; v = "(nil)" } delrec = "nil"; } )AWK"
    R"AWK(else { if (delrec != "nil") { print delrec >> "tempcache"; delrec = "nil"; } } )AWK"
    R"AWK(if (v != "(nil)") { tmprec = tmprec ":" v; } else { tmprec = tmprec ":"; } } } )AWK"
    R"AWK(/^[^']*\[1\]/ { if (state == 2) { if (val() == "(nil)" || psw != 1 || (op != "add" && op != "modify")) )AWK"
    R"AWK({ tmprec = tmprec ":"; } else { upass = ""; )AWK"
    R"AWK(getpass = "nismatch name=" shq(name) " passwd.org_dir | cut -d: -f2"; )AWK"
    R"AWK(getpass | getline upass; close(getpass); tmprec = tmprec ":" upass; } } } )AWK"
    R"AWK(/^[^']*\[[2-6]\]/ { if (state == 2) { if (val() != "(nil)") { tmprec = tmprec ":" val(); } )AWK"
    R"AWK(else { tmprec = tmprec ":"; } } } )AWK"
    R"AWK(/^[^']*\[7\]/ { if (state == 2) { if (val() != "(nil)") { tmprec = tmprec "::" val(); } )AWK"
    R"AWK(else { tmprec = tmprec "::::::::"; } } } )AWK"
    R"AWK(END { if (delrec != "nil") { print delrec >> "tempcache" } })AWK";

// The shell keeps only the status of a pipeline's last command; nislog's own
// is passed out on descriptor 3, so that a log cut short by a failing nislog
// (its header, with the current XID, already read) fails the whole command.
std::string nislogSelectCommand(const std::string& nislogDir, const std::string& nawkDir, long lastXid) {
  return "s=$( { { " + nislogDir + "/nislog; echo $? >&3; } | " + nawkDir + "/nawk " +
         quoteBareWord(kNislogSelectProgram) + " \"XIDNO=" + std::to_string(lastXid) +
         "\" > qvnisplus.log; } 3>&1 ) && [ \"$s\" = 0 ]";
}
