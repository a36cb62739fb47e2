#include "ui/images/images.h"

namespace lm_images {

namespace {

struct Variant {
    const guint8* source;
    const char* language;
    const guint8* drawn;
};

#define LM_WORDED(lang)                                                                     \
    {Left, #lang, Left_##lang}, {welcome, #lang, welcome_##lang}, {top, #lang, top_##lang}, \
        {power, #lang, power_##lang}, {menu, #lang, menu_##lang},                           \
        {link_1, #lang, link_1_##lang}, {Link_2, #lang, Link_2_##lang},                     \
        {finish, #lang, finish_##lang}

const Variant kVariants[] = {LM_WORDED(en), LM_WORDED(zh_TW)};

const guint8* drawn_for(const guint8* picture, const std::string& language)
{
    for (const Variant& v : kVariants) {
        if (v.source == picture && language == v.language)
            return v.drawn;
    }
    return nullptr;
}

bool has_words(const guint8* picture)
{
    for (const Variant& v : kVariants) {
        if (v.source == picture)
            return true;
    }
    return false;
}

} // namespace

const guint8* localised(const guint8* picture, const std::string& language)
{
    if (language.empty() || !has_words(picture))
        return picture;
    if (const guint8* drawn = drawn_for(picture, language))
        return drawn;
    if (const guint8* drawn = drawn_for(picture, language.substr(0, language.find('_'))))
        return drawn;
    return drawn_for(picture, "en");
}

} // namespace lm_images
