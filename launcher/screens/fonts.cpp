// Font files named by fontconfig, the desktop's own font configuration:
// DejaVu Sans (or the desktop's sans-serif) when the fixed folders lack it,
// and a face for a character that DejaVu Sans lacks.
#include "screens.h"

#include <fontconfig/fontconfig.h>

// Loaded on the first question only: a launcher whose texts DejaVu Sans
// covers never reads the font configuration.
static FcConfig *CONFIG;

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
