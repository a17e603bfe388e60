#include "SearchSet.h"

#include <string.h>

#include "IntArray.h"
#include "VfxMemory.h"
#include "XPathException.h"
#include "vornapi.h"

int SearchSet::m_nLastId = 0;

// ---------------------------------------------------------------- SearchSet

SearchSet::SearchSet(IVfxLogger* logger)
    : m_pLogger(logger), m_nRecordCount(0), m_nId(++m_nLastId), m_nSearchNumber(0), m_nHitCount(0),
      m_bCrossConnect(true)
{
}

SearchSet::~SearchSet()
{
}

bool SearchSet::IsDebug() const
{
    return m_pLogger && m_pLogger->GetLogLevel() >= IVfxLogger::LL_DEBUG;
}

void SearchSet::LocalWord(const char* canon, CStringBuffer& out)
{
    char word[17];
    memset(word, ' ', 16);
    word[16] = '\0';
    size_t n = strlen(canon);
    memcpy(word, canon, n < 16 ? n : 16);
    int len = 17;
    if (VdbShellSymbol(word, &len) & 1) {
        if (len < 0)
            len = 0;
        if (len > 16)
            len = 16;
        out.set(word, len);
    } else {
        // No local spelling: the canonical word is all there is.
        out.set(canon);
    }
}

int SearchSet::GetNumber()
{
    if (m_nSearchNumber < 1)
        Execute();
    return m_nSearchNumber;
}

int SearchSet::GetRecordCount()
{
    if (m_nSearchNumber == 0)
        Execute();
    return m_nRecordCount;
}

void SearchSet::CreateCondition()
{
}

void SearchSet::SetCondition(CStringBuffer& cond)
{
    m_strCondition.set(cond);
    if (m_pLogger)
        m_pLogger->Debug("SearchSet::SetCondition", "(SS/%02d) Assigned CCL condition: %s", m_nId,
                         (const char*)m_strCondition);
}

void SearchSet::GetCondition(CStringBuffer& cond)
{
    if (m_strCondition.length() == 0)
        CreateCondition();
    cond.set(m_strCondition);
}

void SearchSet::LogExpression(const char* module, XPathExpression* expr)
{
    if (!IsDebug())
        return;
    CStringBuffer text;
    if (expr)
        expr->ToString(text, false, true, true);
    if (text.length() > 0)
        m_pLogger->Debug(module, "(SS/%02d) Expression %s", m_nId, (const char*)text);
    else
        m_pLogger->Debug(module, "(SS/%02d) Composite expression", m_nId);
}

void SearchSet::Execute()
{
    if (m_nSearchNumber >= 1)
        return;
    CStringBuffer word, cond, ccl;
    LocalWord("FIN", word);
    GetCondition(cond);
    ccl.format("%s %s", (const char*)word, (const char*)cond);
    if (m_pLogger)
        m_pLogger->Debug("SearchSet::Execute", "(SS/%02d) Executing %s", m_nId, (const char*)ccl);

    int code = 0;
    int status = VdbExecuteCcl(ccl, &code);
    if (!(status & 1)) {
        char msg[257];
        int len = sizeof msg - 1;
        msg[0] = '\0';
        VdbMessage(status, msg, &len);
        msg[sizeof msg - 1] = '\0';
        throw new XPathException(msg);
    }
    ReadLastSearch("SearchSet::Execute");

    if (IsDebug() && m_nSearchNumber > 0) {
        int* hits = nullptr;
        int n = GetHitTuples(&hits, 5);
        CStringBuffer line;
        int prevRid = 0;
        for (int i = 0; i < n; ++i) {
            int rid = hits[1 + 2 * i], part = hits[2 + 2 * i];
            if (i == 0 || rid != prevRid) {
                if (i > 0) {
                    line.append(" ]");
                    m_pLogger->Debug("SearchSet::Execute", "%s", (const char*)line);
                }
                line.format("(SS/%02d) Tuples in R%d [", m_nId, rid);
                prevRid = rid;
            }
            line.append(" ");
            line.append(part);
        }
        if (n > 0) {
            line.append(" ]");
            m_pLogger->Debug("SearchSet::Execute", "%s", (const char*)line);
        }
        VfxMemFree(hits);
    }
}

void SearchSet::ReadLastSearch(const char* module)
{
    m_nSearchNumber = 0;
    m_nRecordCount = 0;
    m_nHitCount = 0;
    int number = 0, records = 0, hits = 0;
    if (VdbGetSearch(&number, &records, &hits) & 1) {
        m_nSearchNumber = number;
        m_nRecordCount = records;
        m_nHitCount = hits;
    }
    if (m_pLogger)
        m_pLogger->Debug(module, "(SS/%02d) Produced set S%d with %d records", m_nId, m_nSearchNumber,
                         m_nRecordCount);
}

int SearchSet::GetHitTuples(int** ppnHits, int nMaxRecords)
{
    if (m_nSearchNumber == 0)
        Execute();
    int capacity = 64;
    int* result = static_cast<int*>(VfxMemAlloc(sizeof(int) * static_cast<size_t>(capacity + 1)));
    int count = 0;
    if (!result) {
        *ppnHits = nullptr;
        return 0;
    }
    for (int pos = 1; pos <= m_nRecordCount; ++pos) {
        if (nMaxRecords > 0 && pos > nMaxRecords)
            break;
        VdbHandle control = nullptr;
        if (!(VdbCreateRecordControl(&control) & 1))
            break;
        int rid = 0;
        char base[64];
        if (VdbGetRecordInSearchRis(control, m_nSearchNumber, pos, &rid, base) & 1) {
            int* parts = nullptr;
            int n = GetHitTuplesFromRecord(control, &parts);
            if (n > 0 && 2 * (count + n) >= capacity) {
                // At least the room asked for; doubling keeps many records cheap.
                int grown = capacity + 2 * n + 1;
                if (grown < 2 * capacity)
                    grown = 2 * capacity;
                int* p = static_cast<int*>(VfxMemRealloc(result, sizeof(int) * static_cast<size_t>(grown + 1)));
                if (!p) {
                    VfxMemFree(parts);
                    VdbDeleteRecordControl(control);
                    break;
                }
                result = p;
                capacity = grown;
            }
            for (int i = 0; i < n; ++i) {
                result[1 + 2 * count] = rid;
                result[2 + 2 * count] = parts[i];
                ++count;
            }
            VfxMemFree(parts);
        }
        VdbDeleteRecordControl(control);
    }
    result[0] = count;
    *ppnHits = result;
    return count;
}

int SearchSet::GetHitTuplesFromRecord(void* recCtl, int** ppnHits)
{
    IntArray parts(32, true, true);
    int a = 0, b = 0, c = 0, d = 0, e = 0, f = 0;
    while (VdbGetNextHitWord(static_cast<VdbHandle>(recCtl), &a, &b, &c, &d, &e, &f) & 1)
        parts.Add(a > 0 ? a : d);
    *ppnHits = parts.Copy();
    return parts.GetLengh();
}

// ---------------------------------------------------------------- ExpressionSearchSet

ExpressionSearchSet::ExpressionSearchSet(XPathExpression* expr, CStringBuffer* pStrCond, IVfxLogger* logger)
    : SearchSet(logger), m_pExpr(expr)
{
    LogExpression("ExpressionSearchSet::ExpressionSearchSet", expr);
    if (pStrCond)
        SetCondition(*pStrCond);
}

ExpressionSearchSet::ExpressionSearchSet(const char* module, XPathExpression* expr, IVfxLogger* logger)
    : SearchSet(logger), m_pExpr(expr)
{
    LogExpression(module, expr);
}

// ---------------------------------------------------------------- Union / Intersection

namespace {

void JoinMembers(VfxPtrList& sets, const char* canonOperator, CStringBuffer& cond)
{
    CStringBuffer sxx, op;
    SearchSet::LocalWord("SXX", sxx);
    SearchSet::LocalWord(canonOperator, op);
    cond.clear();
    for (int i = 0; i < sets.size(); ++i) {
        SearchSet* s = static_cast<SearchSet*>(sets.get(i));
        if (i > 0)
            cond << " " << op << " ";
        cond << sxx << "=";
        cond.append(s->GetNumber());
    }
    if (cond.length() > 0)
        cond.insert("(", 0);
    cond.append(")");
}

}  // namespace

UnionSearchSet::UnionSearchSet(XPathExpression* expr, IVfxLogger* logger)
    : ExpressionSearchSet("ExpressionSearchSet::ExpressionSearchSet", expr, logger)
{
}

void UnionSearchSet::CreateCondition()
{
    CStringBuffer cond;
    JoinMembers(m_sets, "ORX", cond);
    if (m_pLogger)
        m_pLogger->Debug("UnionSearchSet::CreateCondition", "(SS/%02d) Created CCL condition: %s", m_nId,
                         (const char*)cond);
    SetCondition(cond);
}

IntersectionSearchSet::IntersectionSearchSet(XPathExpression* expr, IVfxLogger* logger)
    : ExpressionSearchSet("ExpressionSearchSet::ExpressionSearchSet", expr, logger)
{
}

void IntersectionSearchSet::CreateCondition()
{
    CStringBuffer cond;
    JoinMembers(m_sets, "ANT", cond);
    if (m_pLogger)
        m_pLogger->Debug("IntersectionSearchSet::CreateCondition", "(SS/%02d) Created CCL condition: %s", m_nId,
                         (const char*)cond);
    SetCondition(cond);
}

// ---------------------------------------------------------------- ContextSearchSet

ContextSearchSet::ContextSearchSet(XPathExpression* expr, IVfxLogger* logger) : SearchSet(logger), m_pExpr(expr)
{
    LogExpression("ContextSearchSet::ContextSearchSet", expr);
}

void ContextSearchSet::Execute()
{
    ReadLastSearch("ContextSearchSet::Execute");
}

// ---------------------------------------------------------------- UniversalSearchSet

UniversalSearchSet::UniversalSearchSet(XPathExpression* expr, IVfxLogger* logger)
    : SearchSet(logger), m_eAxisType(AXIS_CHILD), m_pExpr(expr)
{
    XPathAxisLocationStep* step = dynamic_cast<XPathAxisLocationStep*>(expr);
    if (step && step->GetAxis())
        m_eAxisType = step->GetAxis()->GetType();
    LogExpression("UniversalSearchSet::UniversalSearchSet", expr);
}

void UniversalSearchSet::Execute()
{
}

// ---------------------------------------------------------------- CrossSearchSet

CrossSearchSet::CrossSearchSet(IVfxLogger* logger)
    : SearchSet(logger), m_nDirection(0), m_pChildSet(nullptr), m_pParentSet(nullptr), m_eAxisType(AXIS_INVALID)
{
}

void CrossSearchSet::SetChildSearchSet(SearchSet* set, bool useThisSet)
{
    m_pChildSet = set;
    m_nDirection = useThisSet ? 2 : 1;
}

void CrossSearchSet::SetParentSearchSet(SearchSet* set, bool useThisSet)
{
    m_pParentSet = set;
    m_nDirection = useThisSet ? 1 : 2;
}

XPathExpression* CrossSearchSet::GetParentExpression()
{
    ExpressionSearchSet* e = dynamic_cast<ExpressionSearchSet*>(m_pParentSet);
    return e ? e->GetExpression() : nullptr;
}

const char* CrossSearchSet::AxisName(int axis)
{
    static const char* const names[] = {"child", "attribute", "descendant", "ancestor", "ancestor-or-self",
                                        "descendant-or-self", "self", "following-sibling", "preceding-sibling",
                                        "parent", "following", "preceding", "namespace"};
    if (axis < 1 || axis > 13) {
        CStringBuffer msg;
        msg.format("Invalid AXIS code %d", axis);
        throw new XPathException(msg);
    }
    return names[axis - 1];
}

EAxisType CrossSearchSet::AxisOfChild(SearchSet* set)
{
    if (ExpressionSearchSet* e = dynamic_cast<ExpressionSearchSet*>(set)) {
        XPathAxisLocationStep* step = dynamic_cast<XPathAxisLocationStep*>(e->GetExpression());
        if (step && step->GetAxis())
            return step->GetAxis()->GetType();
        return AXIS_INVALID;
    }
    if (CrossSearchSet* c = dynamic_cast<CrossSearchSet*>(set))
        return c->GetAxisType();
    if (UniversalSearchSet* u = dynamic_cast<UniversalSearchSet*>(set))
        return u->GetAxisType();
    return AXIS_INVALID;
}

EAxisType CrossSearchSet::AxisOfParent(SearchSet* set)
{
    if (CrossSearchSet* c = dynamic_cast<CrossSearchSet*>(set))
        return c->GetAxisType();
    if (UniversalSearchSet* u = dynamic_cast<UniversalSearchSet*>(set))
        return u->GetAxisType();
    return AXIS_INVALID;
}

EAxisType CrossSearchSet::GetAxisType()
{
    if (m_eAxisType != AXIS_INVALID)
        return m_eAxisType;
    EAxisType axis = AxisOfChild(m_pChildSet);
    if (axis == AXIS_INVALID)
        axis = AxisOfParent(m_pParentSet);
    return axis == AXIS_INVALID ? AXIS_CHILD : axis;
}

void CrossSearchSet::Assign(SearchSet* parent, SearchSet* child)
{
    if (AxisOfChild(child) == AXIS_PARENT) {
        m_pParentSet = child;
        m_pChildSet = parent;
        m_nDirection = 2;
    } else {
        m_pParentSet = parent;
        m_pChildSet = child;
        m_nDirection = 1;
    }
}

void CrossSearchSet::CreateCondition()
{
    const char* axis = AxisName(GetAxisType());
    int parent = m_pParentSet ? m_pParentSet->GetNumber() : 0;
    int child = m_pChildSet ? m_pChildSet->GetNumber() : 0;
    CStringBuffer cond;
    cond.format("XPATH(%s,%d,%d,%d)", axis, parent, child, m_nDirection);
    if (m_pLogger)
        m_pLogger->Debug("CrossSearchSet::CreateCondition", "(SS/%02d) Created CCL condition: %s", m_nId,
                         (const char*)cond);
    SetCondition(cond);
}
