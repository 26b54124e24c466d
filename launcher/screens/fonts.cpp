// The faces: DejaVu Sans from ORVL_FONTS or the usual folders, else the font
// files named by fontconfig, the desktop's own font configuration (DejaVu
// Sans or the desktop's sans-serif); and a face for a character that DejaVu
// Sans lacks.
#include "screens.h"

#include "../core/core.h"

#include <fontconfig/fontconfig.h>

// Loaded on the first question only: a launcher whose texts DejaVu Sans
// covers never reads the font configuration.
static FcConfig *CONFIG;

static const char *DIRS[] = {
    nullptr,    // ORVL_FONTS, filled at each lookup
    "/usr/share/fonts/dejavu",
    "/usr/share/fonts/truetype/dejavu",
    "/usr/share/fonts/TTF",
    "/usr/share/fonts/dejavu-sans-fonts",
    nullptr,
};

// The best scalable face for DejaVu Sans, bold or not, that has cp (any
// face when cp is 0). embolden: the face is regular where bold was asked.
bool find_font(int bold, uint32_t cp, char *path, size_t size, int *index, bool *embolden)
{
    if (!CONFIG && !(CONFIG = FcInitLoadConfigAndFonts()))
        return false;
    FcPattern *want = FcPatternCreate();
    if (!want)
        return false;
    FcPatternAddString(want, FC_FAMILY, (const FcChar8 *)"DejaVu Sans");
    FcPatternAddInteger(want, FC_WEIGHT, bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
    FcPatternAddBool(want, FC_SCALABLE, FcTrue);
    FcCharSet *chars = nullptr;
    if (cp) {
        chars = FcCharSetCreate();
        if (chars) {
            FcCharSetAddChar(chars, cp);
            FcPatternAddCharSet(want, FC_CHARSET, chars);
        }
    }
    FcConfigSubstitute(CONFIG, want, FcMatchPattern);
    FcDefaultSubstitute(want);
    FcResult result;
    FcFontSet *sorted = FcFontSort(CONFIG, want, FcFalse, nullptr, &result);
    bool found = false;
    for (int i = 0; sorted && i < sorted->nfont && !found; i++) {
        FcPattern *f = sorted->fonts[i];
        FcBool scalable = FcFalse;
        FcCharSet *has = nullptr;
        if (FcPatternGetBool(f, FC_SCALABLE, 0, &scalable) != FcResultMatch || !scalable)
            continue;
        if (cp && (FcPatternGetCharSet(f, FC_CHARSET, 0, &has) != FcResultMatch || !FcCharSetHasChar(has, cp)))
            continue;
        FcPattern *ready = FcFontRenderPrepare(CONFIG, want, f);
        FcChar8 *file = nullptr;
        FcBool bolder = FcFalse;
        int at = 0;
        if (ready && FcPatternGetString(ready, FC_FILE, 0, &file) == FcResultMatch) {
            FcPatternGetInteger(ready, FC_INDEX, 0, &at);
            FcPatternGetBool(ready, FC_EMBOLDEN, 0, &bolder);
            found = snprintf(path, size, "%s", (const char *)file) < (int)size;
            *index = at;
            if (embolden)
                *embolden = bolder;
        }
        if (ready)
            FcPatternDestroy(ready);
    }
    if (sorted)
        FcFontSetDestroy(sorted);
    if (chars)
        FcCharSetDestroy(chars);
    FcPatternDestroy(want);
    return found;
}

// DejaVu Sans from ORVL_FONTS or the usual folders; else the face that
// fontconfig matches for it, which may be the desktop's sans-serif.
TTF_Font *font(int bold, int size)
{
    DIRS[0] = env_or("ORVL_FONTS", "/usr/share/fonts/dejavu");
    const char *face = bold ? "DejaVuSans-Bold.ttf" : "DejaVuSans.ttf";
    char path[1100];
    for (const char **d = DIRS; *d; d++) {
        snprintf(path, sizeof path, "%s/%s", *d, face);
        if (TTF_Font *f = TTF_OpenFont(path, size)) {
            keep_face(f, path, 0, size, bold);
            return f;
        }
    }
    int index = 0;
    bool embolden = false;
    if (!find_font(bold, 0, path, sizeof path, &index, &embolden))
        return nullptr;
    TTF_Font *f = TTF_OpenFontIndex(path, size, index);
    if (f) {
        if (embolden)
            TTF_SetFontStyle(f, TTF_STYLE_BOLD);
        keep_face(f, path, index, size, bold);
    }
    return f;
}
