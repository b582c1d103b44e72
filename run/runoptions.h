// What a recovery run does beyond the two passes: the choices both faces
// offer (kov-recover's options, the window's check boxes).
#pragma once

// The choices' own words, which the window's check boxes show and the help
// and advice of both faces repeat.
inline constexpr const char* deepchoice = "Search lost folders and formatted cards";
inline constexpr const char* verifychoice = "Check contents and set damaged files apart";
inline constexpr const char* nameschoice = "Use original long names";
inline constexpr const char* carvechoice = "Find lost photos and documents by their contents";
// Beside them, not one of RUNOPTIONS: the image is the face's, made before
// the first read (run/runimage.h).
inline constexpr const char* imagechoice = "Image the card as it is read";

struct RUNOPTIONS {
    bool deep = false;           // also scan the unused clusters for lost folders
    bool verify = false;         // a content verdict per file; damaged ones into damaged/
    bool originalnames = false;  // deleted files under their long names when the slots give them back
    bool carve = false;          // last, carve whole files by their contents from the clusters left
    int retries = 1;             // reads of a sector after the one that failed on it (platform::readsome)
};
