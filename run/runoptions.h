// What a recovery run does beyond the two passes: the choices both faces
// offer (kov-recover's options, the window's check boxes).
#pragma once

struct RUNOPTIONS {
    bool deep = false;           // also scan the unused clusters for lost folders
    bool verify = false;         // a content verdict per file; damaged ones into damaged/
    bool originalnames = false;  // deleted files under their long names when the slots give them back
    bool carve = false;          // last, carve whole files by their contents from the clusters left
};
