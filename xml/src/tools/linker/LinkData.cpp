#include "LinkData.h"

#include <string.h>
#include <strings.h>

#include <string>

std::vector<CLinkData*> CLinkData::m_vLinks;

namespace {

// The keys in the order the relink filter writes them.
const char* const kKeys[] = {"FROMDB", "FROMID", "FROMURL", "TODB", "TOID", "TOURL"};
const int kKeyCount = 6;

} // namespace

CLinkData::CLinkData() {}

CLinkData::~CLinkData() {}

CLinkData* CLinkData::get(int i)
{
    if (i < 0 || i >= count())
        return nullptr;
    return m_vLinks[static_cast<size_t>(i)];
}

void CLinkData::clear(bool bDelete)
{
    if (bDelete)
        for (CLinkData* d : m_vLinks)
            delete d;
    m_vLinks.clear();
}

int CLinkData::init(const char* pszText, int nLength)
{
    clear(true);
    std::string text = pszText ? (nLength < 0 ? std::string(pszText) : std::string(pszText, static_cast<size_t>(nLength)))
                               : std::string();
    size_t start = 0;
    for (;;) {
        size_t end = text.find('\n', start);
        std::string piece = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        auto* d = new CLinkData();
        d->parse(piece.c_str(), static_cast<int>(piece.size()));
        m_vLinks.push_back(d);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return count();
}

void CLinkData::setValue(const char* pszKey, int nKeyLength, const char* pszValue, int nValueLength)
{
    std::string key(pszKey, static_cast<size_t>(nKeyLength));
    CStringBuffer* targets[] = {&strDatabaseFrom, &strDocIDFrom, &strUrlFrom, &strDatabaseTo, &strDocIDTo, &strUrlTo};
    for (int k = 0; k < kKeyCount; ++k) {
        if (strcasecmp(key.c_str(), kKeys[k]) != 0)
            continue;
        CStringBuffer& target = *targets[k];
        target.set(pszValue, nValueLength);
        // An unresolved target is written as a single blank.
        if ((k == 3 || k == 4) && target == " ")
            target.clear();
        return;
    }
}

void CLinkData::parse(const char* pszLine, int nLength)
{
    std::string line(pszLine, static_cast<size_t>(nLength));
    if (line.size() > 2)
        line = line.substr(1, line.size() - 2);

    // A line as the relink filter writes it has all six keys in their order;
    // splitting at the next key rather than at every comma keeps URLs that
    // hold commas whole.
    std::vector<size_t> at(kKeyCount, std::string::npos);
    bool bOrdered = line.compare(0, 7, "FROMDB=") == 0;
    size_t from = 0;
    for (int k = 1; bOrdered && k < kKeyCount; ++k) {
        std::string marker = std::string(",") + kKeys[k] + "=";
        at[static_cast<size_t>(k)] = line.find(marker, from);
        if (at[static_cast<size_t>(k)] == std::string::npos)
            bOrdered = false;
        else
            from = at[static_cast<size_t>(k)] + marker.size();
    }
    if (bOrdered) {
        at[0] = 0;
        for (int k = 0; k < kKeyCount; ++k) {
            size_t valueAt = at[static_cast<size_t>(k)] + (k == 0 ? 0 : 1) + strlen(kKeys[k]) + 1;
            size_t end = k + 1 < kKeyCount ? at[static_cast<size_t>(k + 1)] : line.size();
            setValue(kKeys[k], static_cast<int>(strlen(kKeys[k])), line.data() + valueAt,
                     static_cast<int>(end - valueAt));
        }
        return;
    }

    // Any other text: items separated by commas, each key=value.
    size_t start = 0;
    for (;;) {
        size_t comma = line.find(',', start);
        std::string item = line.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        size_t eq = item.find('=');
        if (eq != std::string::npos)
            setValue(item.data(), static_cast<int>(eq), item.data() + eq + 1, static_cast<int>(item.size() - eq - 1));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
}
