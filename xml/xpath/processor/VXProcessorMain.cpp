#include "VXProcessorMain.h"

#include <stdlib.h>
#include <string.h>

#include <typeinfo>

#include "VXParserMain.h"
#include "XPathException.h"
#include "vornapi.h"

namespace {

[[noreturn]] void Fail(const char* msg)
{
    throw new XPathException(msg);
}

[[noreturn]] void Failf(const char* fmt, const char* arg)
{
    CStringBuffer msg;
    msg.format(fmt, arg);
    throw new XPathException(msg);
}

// The plain node test is the wildcard; its subclasses are the other tests.
bool IsWildcard(XPathNodeTest* test)
{
    return test && typeid(*test) == typeid(XPathNodeTest);
}

ENodeType TypeTest(XPathNodeTest* test)
{
    XPathNodeTypeTest* t = dynamic_cast<XPathNodeTypeTest*>(test);
    return t ? t->GetNodeType() : NTYPE_INVALID;
}

XPathNodeTest* TestOf(XPathAxisLocationStep* step)
{
    return step && step->GetAxis() ? step->GetAxis()->GetNodeTest() : nullptr;
}

EAxisType AxisOf(XPathLocationStep* step)
{
    XPathAxisLocationStep* s = dynamic_cast<XPathAxisLocationStep*>(step);
    return s && s->GetAxis() ? s->GetAxis()->GetType() : AXIS_CHILD;
}

// "." (self::node() without predicates) selects its context again.
bool IsContextStep(XPathLocationStep* step)
{
    XPathAxisLocationStep* s = dynamic_cast<XPathAxisLocationStep*>(step);
    return s && s->GetAxis() && s->GetAxis()->IsSelf() && TypeTest(s->GetAxis()->GetNodeTest()) == NTYPE_NODE &&
           (!s->GetPredicates() || s->GetPredicates()->GetSize() == 0);
}

using Steps = std::vector<XPathLocationStep*>;

// The steps of a path that select something, so "./b" and "a/./b" translate
// as "b" and "a/b". withoutLast leaves the last step out; otherwise a path
// of "." steps only keeps its last one.
Steps EffectiveSteps(XPathPath* path, bool withoutLast)
{
    Steps steps;
    int n = path ? path->GetSize() : 0;
    int end = withoutLast ? n - 1 : n;
    for (int i = 0; i < end; ++i)
        if (!IsContextStep(path->Get(i)))
            steps.push_back(path->Get(i));
    if (steps.empty() && !withoutLast && n > 0)
        steps.push_back(path->Get(n - 1));
    return steps;
}

// The axis through which a predicate's path joins its context: that of its
// first step that selects something.
EAxisType FirstAxis(XPathPath* path)
{
    Steps steps = EffectiveSteps(path, false);
    return steps.empty() ? AXIS_INVALID : AxisOf(steps.front());
}

// The pair's node side, as XPathExpressionPair::GetAxisType chooses it.
EAxisType PairAxis(XPathExpressionPair* pair)
{
    XPathExpression* side = pair->GetLeft();
    if (dynamic_cast<XPathFilterExpression*>(side) || dynamic_cast<XPathScalar*>(side))
        side = pair->GetRight();
    if (XPathUnaryExpression* unary = dynamic_cast<XPathUnaryExpression*>(side))
        side = unary->Get();
    if (XPathPath* path = dynamic_cast<XPathPath*>(side))
        return FirstAxis(path);
    return pair->GetAxisType();
}

}  // namespace

VXProcessorMain::VXProcessorMain(IVfxLogger* logger)
    : m_pCurrentStatement(nullptr), m_pLogger(logger), m_bBeginCalled(false), m_bRootStep(false),
      m_pContextStep(nullptr), m_pPositionContext(nullptr)
{
}

VXProcessorMain::~VXProcessorMain()
{
    End();
    Clean();
}

void VXProcessorMain::ExecuteCommand(CStringBuffer& ccl)
{
    int code = 0;
    int status = VdbExecuteCcl(ccl, &code);
    if (!(status & 1) && m_pLogger)
        m_pLogger->Warning("VXProcessorMain", status, "Command \"%s\" failed.", (const char*)ccl);
}

bool VXProcessorMain::Begin()
{
    if (!(VdbSaveStatus() & 1))
        return false;
    m_bBeginCalled = true;
    CStringBuffer def, hil, ccl;
    SearchSet::LocalWord("DEF", def);
    SearchSet::LocalWord("HIL", hil);
    ccl.format("%s %s", (const char*)def, (const char*)hil);
    ExecuteCommand(ccl);
    // A search without hits must still make a set: a set number of 0 would
    // stand for every node in the structural joins built on it.
    EnableEmptySets();
    return true;
}

void VXProcessorMain::End()
{
    if (!m_bBeginCalled)
        return;
    int count = GetSearchSetCount();
    SearchSet* last = count > 0 ? GetSearchSet(count - 1) : nullptr;
    if (count > 1) {
        CStringBuffer del, sxx, ren, ccl;
        SearchSet::LocalWord("DEL", del);
        SearchSet::LocalWord("SXX", sxx);
        SearchSet::LocalWord("REN", ren);
        // The result must be the session's last search, which the
        // renumbering follows; a result made earlier is copied to the end.
        int lastNumber = last->GetNumberIfRun();
        int current = 0, records = 0, hits = 0;
        if (lastNumber >= 1 && (VdbGetSearch(&current, &records, &hits) & 1) && current != lastNumber) {
            CStringBuffer fin;
            SearchSet::LocalWord("FIN", fin);
            ccl.format("%s %s=%d", (const char*)fin, (const char*)sxx, lastNumber);
            ExecuteCommand(ccl);
            ccl.format("%s %s=%d", (const char*)del, (const char*)sxx, lastNumber);
            ExecuteCommand(ccl);
        }
        for (int i = 0; i < count - 1; ++i) {
            // Sets that never ran have no kernel set; context and universal
            // sets name no set of their own.
            SearchSet* s = GetSearchSet(i);
            if (dynamic_cast<ContextSearchSet*>(s) || dynamic_cast<UniversalSearchSet*>(s))
                continue;
            int n = s->GetNumberIfRun();
            if (n >= 1 && n != lastNumber) {
                ccl.format("%s %s=%d", (const char*)del, (const char*)sxx, n);
                ExecuteCommand(ccl);
            }
        }
        ExecuteCommand(ren);
        current = 0;
        if (VdbGetSearch(&current, &records, &hits) & 1)
            last->SetNumber(current);
    }
    VdbLoadStatus(1);
    m_bBeginCalled = false;
}

void VXProcessorMain::Clean()
{
    SearchSet::ResetId();
    delete m_pCurrentStatement;
    m_pCurrentStatement = nullptr;
    while (m_nodeStack.size() > 0)
        m_nodeStack.pop();
    for (int i = GetSearchSetCount() - 1; i >= 0; --i)
        delete GetSearchSet(i);
    while (m_searchSets.size() > 0)
        m_searchSets.remove(m_searchSets.size() - 1);
    m_bRootStep = false;
    m_pContextStep = nullptr;
    m_pPositionContext = nullptr;
}

void VXProcessorMain::EnableEmptySets()
{
    CStringBuffer def, fin, min, ccl;
    SearchSet::LocalWord("DEF", def);
    SearchSet::LocalWord("FIN", fin);
    SearchSet::LocalWord("MIN", min);
    ccl.format("%s %s %s=0", (const char*)def, (const char*)fin, (const char*)min);
    ExecuteCommand(ccl);
}

SearchSet* VXProcessorMain::AddSearchSet(SearchSet* set)
{
    m_searchSets.append(set);
    return set;
}

SearchSet* VXProcessorMain::ExecuteAll()
{
    // A universal result ("//." or "descendant-or-self::node()") has no
    // kernel set of its own: every node part is searched for instead.
    if (GetSearchSetCount() > 0 && dynamic_cast<UniversalSearchSet*>(NewestSet())) {
        CStringBuffer cond("N_ID=$");
        AddSearchSet(new ExpressionSearchSet(nullptr, &cond, m_pLogger));
    }
    for (int i = 0; i < GetSearchSetCount(); ++i)
        GetSearchSet(i)->Execute();
    return GetSearchSetCount() > 0 ? NewestSet() : nullptr;
}

XPathLocationStep* VXProcessorMain::ToLocationStep(XPathExpression* expr)
{
    if (XPathUnaryExpression* unary = dynamic_cast<XPathUnaryExpression*>(expr))
        expr = unary->Get();
    if (XPathPath* path = dynamic_cast<XPathPath*>(expr))
        expr = path->GetSize() > 0 ? path->Get(path->GetSize() - 1) : nullptr;
    return dynamic_cast<XPathLocationStep*>(expr);
}

XPathScalar* VXProcessorMain::ToScalar(XPathExpression* expr)
{
    if (XPathFilterExpression* filter = dynamic_cast<XPathFilterExpression*>(expr))
        expr = filter->GetExpression();
    return dynamic_cast<XPathScalar*>(expr);
}

void VXProcessorMain::Prefix(int baseSearchSet, CStringBuffer& prefix, CStringBuffer& suffix)
{
    prefix.clear();
    suffix.clear();
    if (baseSearchSet > 0) {
        prefix.format("S=%d AND (", baseSearchSet);
        suffix.set(")");
    }
}

// ---------------------------------------------------------------- Query

SearchSet* VXProcessorMain::Query(const char* xpathQueryExpression)
{
    if (m_pLogger)
        m_pLogger->Debug("VXProcessorMain::Query", "Entered");
    Clean();
    EnableEmptySets();
    if (!xpathQueryExpression)
        xpathQueryExpression = "";
    if (m_pLogger)
        m_pLogger->Debug("VXProcessorMain::Query", "Parsing XPath expression \"%s\"", xpathQueryExpression);

    VXParserMain parser;
    CStringBuffer msg;
    m_pCurrentStatement = parser.Parse(xpathQueryExpression, &msg);
    if (!m_pCurrentStatement) {
        if (m_pLogger)
            m_pLogger->Error("VXProcessorMain::Query", 0, "XPath parsing error: %s", (const char*)msg);
        throw new XPathException(msg);
    }
    if (m_pLogger && m_pLogger->GetLogLevel() >= IVfxLogger::LL_DEBUG) {
        CStringBuffer tree;
        m_pCurrentStatement->ToDebugString(tree, true, 0);
        tree.append("\n\n");
        m_pLogger->Debug("VXProcessorMain::Query", "XPath parser node printout follows.");
        m_pLogger->Debug("VXProcessorMain::Query", "%s", (const char*)tree);
        m_pLogger->Debug("VXProcessorMain::Query", "XPath parser node printout completed.");
    }
    ProcessNode(m_pCurrentStatement, 0);
    return ExecuteAll();
}

// ---------------------------------------------------------------- ProcessNode

SearchSet* VXProcessorMain::ProcessNode(XPathExpression* expr, int baseSearchSet)
{
    if (!expr)
        Fail("Cannot process a NULL XPath parser node.");

    CStringBuffer prefix, suffix;
    Prefix(baseSearchSet, prefix, suffix);

    if (XPathUnaryExpression* unary = dynamic_cast<XPathUnaryExpression*>(expr)) {
        SearchSet* operand = ProcessNode(unary->Get(), 0);
        if (!unary->IsNegated())
            return operand;
        int n = operand ? operand->GetRecordCount() : 0;
        CStringBuffer cond;
        if (n > 0)
            cond.format("%s N_ID=$ NOT.T S=%d %s", (const char*)prefix, operand->GetNumber(), (const char*)suffix);
        else
            cond.format("%s N_ID=$ %s", (const char*)prefix, (const char*)suffix);
        SearchSet* set = AddSearchSet(new ExpressionSearchSet(expr, &cond, m_pLogger));
        set->Execute();
        return set;
    }
    if (XPathExpressionPair* pair = dynamic_cast<XPathExpressionPair*>(expr)) {
        if (!pair->IsComparison())
            Fail("Paired expressions are not yet fully implemented.");
        return ProcessComparison(pair, baseSearchSet);
    }
    if (XPathUnionExpression* u = dynamic_cast<XPathUnionExpression*>(expr)) {
        CStringBuffer cond(prefix);
        for (int i = 0; i < u->GetSize(); ++i) {
            SearchSet* s = ProcessNode(u->Get(i), 0);
            if (!s)
                continue;
            if (i > 0)
                cond.append(" OR ");
            cond.append("S=");
            cond.append(s->GetNumber());
        }
        cond.append(suffix);
        PushExpr(expr);
        return AddSearchSet(new ExpressionSearchSet(expr, &cond, m_pLogger));
    }
    if (XPathPath* path = dynamic_cast<XPathPath*>(expr))
        return ProcessPath(path, baseSearchSet);
    if (XPathLocationStep* step = dynamic_cast<XPathLocationStep*>(expr)) {
        XPathAxisLocationStep* axisStep = dynamic_cast<XPathAxisLocationStep*>(step);
        if (!axisStep)
            Fail("INTERNAL ERROR: Invalid location step type!");
        return ProcessStep(axisStep, baseSearchSet);
    }
    return nullptr;
}

// ---------------------------------------------------------------- paths

SearchSet* VXProcessorMain::ProcessPath(XPathPath* path, int baseSearchSet, std::vector<SearchSet*>* stepResults)
{
    SearchSet* first = nullptr;
    SearchSet* lastStep = nullptr;
    SearchSet* lastExtra = nullptr;
    Steps steps = EffectiveSteps(path, false);
    bool absolute = path->GetSize() > 0 && path->Get(0)->GetStepParent() == XPATH_STEP_PARENT_IMMEDIATE;
    for (size_t i = 0; i < steps.size(); ++i) {
        XPathLocationStep* step = steps[i];
        // The first step of an absolute path is joined to the document node.
        m_bRootStep = i == 0 && absolute;
        SearchSet* s = ProcessNode(step, 0);
        m_bRootStep = false;
        if (!s)
            Fail("INTERNAL ERROR: Invalid location step type!");
        s->Execute();
        lastStep = s;
        SearchSet* current = s;
        if (i == 0) {
            first = s;
        } else {
            CrossSearchSet* cross = new CrossSearchSet(m_pLogger);
            cross->SetParentSearchSet(lastExtra ? lastExtra : first, false);
            cross->SetChildSearchSet(s, true);
            if (XPathAxisLocationStep* a = dynamic_cast<XPathAxisLocationStep*>(step))
                cross->SetAxisType(a->GetAxis() ? a->GetAxis()->GetType() : AXIS_INVALID);
            AddSearchSet(cross);
            lastExtra = cross;
            cross->Execute();
            current = cross;
        }
        SearchSet* filtered = ApplyPredicates(step, current);
        if (filtered != current)
            lastExtra = filtered;
        if (stepResults)
            stepResults->push_back(filtered);
    }
    SearchSet* result = lastExtra ? lastExtra : lastStep;
    if (baseSearchSet > 0 && result) {
        CStringBuffer cond;
        cond.format("S=%d AND.R S=%d", baseSearchSet, result->GetNumber());
        SearchSet* restricted = AddSearchSet(new SearchSet(m_pLogger));
        restricted->SetCondition(cond);
        restricted->Execute();
        return restricted;
    }
    return result;
}

SearchSet* VXProcessorMain::ApplyPredicates(XPathLocationStep* step, SearchSet* current)
{
    XPathAxisLocationStep* axisStep = dynamic_cast<XPathAxisLocationStep*>(step);
    XPathExpressionList* predicates = axisStep ? axisStep->GetPredicates() : nullptr;
    if (!predicates || predicates->GetSize() == 0)
        return current;
    XPathAxisLocationStep* savedContext = m_pContextStep;
    SearchSet* savedPositions = m_pPositionContext;
    m_pContextStep = axisStep;
    SearchSet* held = nullptr;
    int count = predicates->GetSize();
    for (int j = 0; j < count; ++j) {
        XPathExpression* item = predicates->Get(j);
        XPathPredicate* predicate = dynamic_cast<XPathPredicate*>(item);
        XPathExpression* expr = predicate ? predicate->GetExpression() : item;
        // A later predicate filters what the earlier ones left.
        m_pPositionContext = j == 0 ? current : held;
        SearchSet* r = ProcessPredicate(current, expr);
        if (!r)
            Fail("Unexpected NULL return from evaluation of predicate.");
        if (j == 0) {
            held = r;
        } else {
            IntersectionSearchSet* both = new IntersectionSearchSet(expr, m_pLogger);
            both->AddSearchSet(r);
            both->AddSearchSet(held);
            AddSearchSet(both);
            held = both;
        }
    }
    m_pContextStep = savedContext;
    m_pPositionContext = savedPositions;
    return held;
}

SearchSet* VXProcessorMain::TranslateStep(XPathLocationStep* step)
{
    SearchSet* s = ProcessNode(step, 0);
    if (!s)
        Fail("INTERNAL ERROR: Invalid location step type!");
    s->Execute();
    return ApplyPredicates(step, s);
}

SearchSet* VXProcessorMain::ProcessPathBackwards(XPathPath* path)
{
    std::vector<SearchSet*> results;
    ProcessPath(path, 0, &results);
    Steps steps = EffectiveSteps(path, false);
    SearchSet* running = results.back();
    for (int i = static_cast<int>(results.size()) - 2; i >= 0; --i) {
        CrossSearchSet* cross = new CrossSearchSet(m_pLogger);
        cross->SetChildSearchSet(running, false);
        cross->SetParentSearchSet(results[static_cast<size_t>(i)], true);
        cross->SetAxisType(AxisOf(steps[static_cast<size_t>(i) + 1]));
        AddSearchSet(cross);
        cross->Execute();
        running = cross;
    }
    return running;
}

// ---------------------------------------------------------------- steps

void VXProcessorMain::BuildNameCondition(XPathNodeTest* nodeTest, CStringBuffer& strCcl)
{
    auto sep = [&strCcl]() { return strCcl.length() > 0 && !strCcl.endsWith("(", -1, true) ? " AND.T " : ""; };
    XPathNodeNameTest* nameTest = dynamic_cast<XPathNodeNameTest*>(nodeTest);
    if (strCcl.find("N_TYPE=") < 0 && (nameTest || IsWildcard(nodeTest))) {
        strCcl << sep() << "N_TYPE=ELEMENT";
    } else if (XPathNodeTypeTest* typeTest = dynamic_cast<XPathNodeTypeTest*>(nodeTest)) {
        switch (typeTest->GetNodeType()) {
        case NTYPE_COMMENT: strCcl << sep() << "N_TYPE=COMMENT"; break;
        case NTYPE_PROCESSING_INSTRUCTION: strCcl << sep() << "N_TYPE=PROCESSING_INSTRUCTION"; break;
        case NTYPE_TEXT: strCcl << sep() << "N_TYPE=TEXT"; break;
        case NTYPE_NODE:
            if (strCcl.length() == 0 || strCcl.find("S=") >= 0)
                strCcl << sep() << "N_ID=$";
            break;
        default: break;
        }
        return;
    }
    if (nameTest && nameTest->GetName()) {
        XPathName* name = nameTest->GetName();
        // "p:*" has an empty local name: it matches every name with that prefix.
        const char* local = name->GetLocalName();
        if (local && *local)
            strCcl << sep() << "N_NAME=\"" << local << "\"";
        if (name->HasNamespace())
            strCcl << sep() << "N_NAMESPACE=\"" << name->GetNamespace() << "\"";
    }
}

SearchSet* VXProcessorMain::ProcessStep(XPathAxisLocationStep* step, int baseSearchSet)
{
    CStringBuffer prefix, suffix;
    Prefix(baseSearchSet, prefix, suffix);
    XPathAxis* axis = step->GetAxis();
    if (!axis)
        Fail("INTERNAL ERROR: Invalid location step type!");
    XPathNodeTest* test = axis->GetNodeTest();
    bool rootStep = m_bRootStep ||
                    (step->GetStepParent() == XPATH_STEP_PARENT_IMMEDIATE && m_nodeStack.size() == 0);
    m_bRootStep = false;

    if (IsWildcard(test) || TypeTest(test) == NTYPE_NODE) {
        PushExpr(step);
        AddSearchSet(new UniversalSearchSet(step, m_pLogger));
    }
    if (XPathFunction* function = dynamic_cast<XPathFunction*>(test)) {
        if (!function->IsNamed("contains")) {
            CStringBuffer name;
            function->GetName(name);
            Failf("ERROR: unknown or unsupported function \"%s\"", name);
        }
        return ProcessContains(step, function, baseSearchSet);
    }

    CStringBuffer cond(prefix);
    switch (axis->IsAttribute() ? AXIS_ATTRIBUTE : axis->GetType()) {
    case AXIS_CHILD:
    case AXIS_DESCENDANT:
        BuildNameCondition(test, cond);
        // Only the child axis ties the first step to the document node:
        // descendants of the document node are all nodes.
        if (rootStep && axis->IsChild()) {
            if (cond.length() == 0 || cond.endsWith("(", -1, true))
                cond.append("N_PARENT=0");
            else
                cond.insert("N_PARENT=0 AND.T ", 0);
        }
        break;
    case AXIS_FOLLOWING:
    case AXIS_FOLLOWING_SIBLING:
    case AXIS_PRECEDING:
    case AXIS_PRECEDING_SIBLING: {
        bool following = axis->IsFollowing() || axis->IsFollowingSibling();
        bool sibling = axis->IsFollowingSibling() || axis->IsPrecedingSibling();
        if (m_nodeStack.size() == 0)
            Failf(following ? "The following%s axis cannot be used without a context."
                            : "The preceding%s axis cannot be used without a context.",
                  sibling ? "-sibling" : "");
        ENodeType type = TypeTest(test);
        if (dynamic_cast<XPathNodeNameTest*>(test))
            cond.append("N_TYPE=ELEMENT");
        else if (type == NTYPE_NODE)
            cond.append("(N_TYPE=ELEMENT OR N_TYPE=TEXT OR N_TYPE=COMMENT OR N_TYPE=PROCESSING_INSTRUCTION)");
        // Other type tests name their own node type below.
        BuildNameCondition(test, cond);
        break;
    }
    case AXIS_PARENT:
    case AXIS_ANCESTOR:
    case AXIS_ANCESTOR_OR_SELF:
        if (m_nodeStack.size() == 0)
            Failf("The %s axis cannot be used without a parent context.", axis->GetName());
        if (axis->IsAncestorOrSelf() && TypeTest(test) == NTYPE_NODE) {
            PushExpr(step);
            return AddSearchSet(new UniversalSearchSet(step, m_pLogger));
        }
        BuildNameCondition(test, cond);
        break;
    case AXIS_DESCENDANT_OR_SELF:
        if (TypeTest(test) == NTYPE_NODE) {
            PushExpr(step);
            return AddSearchSet(new UniversalSearchSet(step, m_pLogger));
        }
        BuildNameCondition(test, cond);
        break;
    case AXIS_ATTRIBUTE:
        cond.append("N_TYPE=ATTRIBUTE");
        BuildNameCondition(test, cond);
        break;
    default:
        Failf("Location step expressions for axis \"%s\" are not yet implemented.", axis->GetName());
    }
    cond.append(suffix);
    PushExpr(step);
    return AddSearchSet(new ExpressionSearchSet(step, &cond, m_pLogger));
}

// ---------------------------------------------------------------- predicates

SearchSet* VXProcessorMain::ProcessPredicate(SearchSet* parent, XPathExpression* predx)
{
    XPathExpressionPair* pair = dynamic_cast<XPathExpressionPair*>(predx);
    if (pair && !dynamic_cast<XPathUnaryExpression*>(pair) &&
        (pair->GetOperator() == PAIRSEP_AND || pair->GetOperator() == PAIRSEP_OR)) {
        SearchSet* left = ProcessPredicate(parent, pair->GetLeft());
        if (!left)
            return nullptr;
        SearchSet* right = ProcessPredicate(parent, pair->GetRight());
        if (!right)
            return nullptr;
        if (pair->GetOperator() == PAIRSEP_AND) {
            IntersectionSearchSet* both = new IntersectionSearchSet(predx, m_pLogger);
            both->AddSearchSet(left);
            both->AddSearchSet(right);
            return AddSearchSet(both);
        }
        UnionSearchSet* either = new UnionSearchSet(predx, m_pLogger);
        either->AddSearchSet(left);
        either->AddSearchSet(right);
        return AddSearchSet(either);
    }

    XPathPath* path = dynamic_cast<XPathPath*>(predx);
    SearchSet* r = nullptr;
    EAxisType axis = AXIS_INVALID;
    if (path && EffectiveSteps(path, false).size() > 1) {
        // A path tests for nodes at its end; walking back along its steps
        // gives the nodes of its first step that lead there.
        r = ProcessPathBackwards(path);
        axis = FirstAxis(path);
    } else {
        r = ProcessNode(predx, 0);
        if (!r)
            return nullptr;
        // A one-step path is an existence test: it always needs the join.
        if (!r->GetCrossConnect() && !path)
            return r;
        if (pair)
            axis = PairAxis(pair);
        else if (XPathAxisLocationStep* step = dynamic_cast<XPathAxisLocationStep*>(predx))
            axis = step->GetAxis() ? step->GetAxis()->GetType() : AXIS_INVALID;
        else if (path)
            axis = FirstAxis(path);
    }
    CrossSearchSet* cross = new CrossSearchSet(m_pLogger);
    cross->SetChildSearchSet(r, false);
    cross->SetParentSearchSet(parent, true);
    cross->SetAxisType(axis);
    AddSearchSet(cross);
    cross->Execute();
    return cross;
}

SearchSet* VXProcessorMain::ConnectSets(SearchSet* parent, SearchSet* child, int direction, EAxisType overrideAxis)
{
    CrossSearchSet* cross = new CrossSearchSet(m_pLogger);
    cross->SetChildSearchSet(child, direction != 1);
    cross->SetParentSearchSet(parent, direction == 1);
    if (overrideAxis != AXIS_INVALID)
        cross->SetAxisType(overrideAxis);
    AddSearchSet(cross);
    cross->Execute();
    return cross;
}

SearchSet* VXProcessorMain::MergeSets(int nSet1, int nSet2)
{
    CStringBuffer orx, cond;
    SearchSet::LocalWord("ORX", orx);
    cond.format("S=%d %s S=%d", nSet1, (const char*)orx, nSet2);
    SearchSet* set = AddSearchSet(new SearchSet(m_pLogger));
    set->SetCondition(cond);
    set->Execute();
    return set;
}

SearchSet* VXProcessorMain::ProcessLocPath(XPathPath* locpath, SearchSet* child, EAxisType axisType,
                                           int* pnTailIndex)
{
    SearchSet* running = child;
    Steps steps = EffectiveSteps(locpath, true);
    for (int i = static_cast<int>(steps.size()) - 1; i >= 0; --i) {
        XPathLocationStep* step = steps[static_cast<size_t>(i)];
        SearchSet* s = TranslateStep(step);
        if (i == static_cast<int>(steps.size()) - 1 && pnTailIndex)
            *pnTailIndex = GetSearchSetCount() - 1;
        if (running) {
            CrossSearchSet* cross = new CrossSearchSet(m_pLogger);
            cross->SetChildSearchSet(running, false);
            cross->SetParentSearchSet(s, true);
            cross->SetAxisType(axisType);
            axisType = AxisOf(step);
            AddSearchSet(cross);
            cross->Execute();
            running = cross;
        } else {
            running = s;
        }
    }
    return running;
}

// ---------------------------------------------------------------- comparisons

namespace {

bool BlankOrClose(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ')';
}

// A quoted CCL value ends at its delimiter followed by a blank, ')' or the
// end, so a literal holding that pair needs another delimiter.
bool Quotable(const CStringBuffer& value, char delimiter)
{
    for (int i = 0; i < value.length(); ++i)
        if (value[i] == delimiter && (i + 1 == value.length() || BlankOrClose(value[i + 1])))
            return false;
    return true;
}

void AppendQuoted(CStringBuffer& cond, char preferred, const CStringBuffer& value)
{
    const char candidates[] = {preferred, '"', '\'', '&'};
    for (char d : candidates) {
        if (Quotable(value, d)) {
            char q[2] = {d, '\0'};
            cond << q << value << q;
            return;
        }
    }
    Failf("The literal \"%s\" cannot be written as a search value.", value);
}

}  // namespace

void VXProcessorMain::AppendComparison(EPairOperator op, CStringBuffer& value, CStringBuffer& cond)
{
    if (value.length() == 0) {
        if (op != PAIRSEP_NE && op != PAIRSEP_GE)
            Fail("Specified comparison operator is not supported for emptry strings.");
        cond.append("=$");
        return;
    }
    switch (op) {
    case PAIRSEP_EQ: cond.append("="); AppendQuoted(cond, '&', value); break;
    case PAIRSEP_NE: cond.append("<>"); AppendQuoted(cond, '"', value); break;
    case PAIRSEP_GT: cond.append(">"); AppendQuoted(cond, '"', value); break;
    case PAIRSEP_LT: cond.append("<"); AppendQuoted(cond, '"', value); break;
    case PAIRSEP_LE: cond.append("<="); AppendQuoted(cond, '"', value); break;
    case PAIRSEP_GE: cond.append(">="); AppendQuoted(cond, '"', value); break;
    default: Fail("Paired expressions are not yet fully implemented.");
    }
}

EAxisType VXProcessorMain::ContextValueCondition(XPathAxisLocationStep* dotStep, XPathAxisLocationStep* context,
                                                 CStringBuffer& cond)
{
    // Attributes, texts, comments and processing instructions carry their
    // value themselves; an element's value is approximated by the text
    // nodes below it.
    if (context && context->GetAxis() && context->GetAxis()->IsAttribute()) {
        cond.append("N_TYPE=ATTRIBUTE AND.T N_TVALUE");
        return AXIS_SELF;
    }
    switch (TypeTest(TestOf(context))) {
    case NTYPE_TEXT: cond.append("N_TYPE=TEXT AND.T N_TVALUE"); return AXIS_SELF;
    case NTYPE_COMMENT: cond.append("N_TYPE=COMMENT AND.T N_TVALUE"); return AXIS_SELF;
    case NTYPE_PROCESSING_INSTRUCTION: cond.append("N_TYPE=PROCESSING_INSTRUCTION AND.T N_TVALUE"); return AXIS_SELF;
    default: break;
    }
    dotStep->GetAxis()->SetType(AXIS_DESCENDANT);
    if (XPathNodeTypeTest* t = dynamic_cast<XPathNodeTypeTest*>(TestOf(dotStep)))
        t->SetNodeType(NTYPE_TEXT);
    cond.append("N_TYPE=TEXT AND.T N_TVALUE");
    return AXIS_DESCENDANT;
}

SearchSet* VXProcessorMain::ProcessComparison(XPathExpressionPair* pair, int baseSearchSet)
{
    CStringBuffer prefix, suffix;
    Prefix(baseSearchSet, prefix, suffix);
    XPathExpression* left = pair->GetLeft();
    XPathExpression* right = pair->GetRight();

    XPathExpression* nodeSide = ToLocationStep(left);
    XPathPath* contextPath = dynamic_cast<XPathPath*>(left);
    XPathExpression* valueSide = ToScalar(right);
    if (!nodeSide)
        nodeSide = ToScalar(left);
    if (!valueSide) {
        valueSide = ToLocationStep(right);
        contextPath = dynamic_cast<XPathPath*>(right);
    }
    XPathAxisLocationStep* step = dynamic_cast<XPathAxisLocationStep*>(nodeSide);
    XPathScalar* scalar = dynamic_cast<XPathScalar*>(valueSide);
    if (!step && !scalar) {
        step = dynamic_cast<XPathAxisLocationStep*>(valueSide);
        scalar = dynamic_cast<XPathScalar*>(nodeSide);
    }
    if (!step || !scalar || !step->GetAxis())
        Fail("A VORN XPath comparison predicate requires a location step and a scalar value.");

    CStringBuffer value;
    scalar->ToString(value, true, false, false);

    XPathAxis* axis = step->GetAxis();
    XPathNodeTest* test = axis->GetNodeTest();
    if (XPathFunction* function = dynamic_cast<XPathFunction*>(test))
        return ProcessPosition(pair, function, contextPath, value, baseSearchSet);

    CStringBuffer cond(prefix);
    EAxisType join;
    if (axis->IsChild() && TypeTest(test) == NTYPE_TEXT) {
        // The text() step a comparison appends stands for the string value
        // of its element, approximated by the text nodes below it; a
        // text() step written in the expression means the text children.
        if (step->IsAppended()) {
            axis->SetType(AXIS_DESCENDANT);
            join = AXIS_DESCENDANT;
        } else {
            join = AXIS_CHILD;
        }
        BuildNameCondition(test, cond);
        cond.append(" AND.T N_TVALUE");
    } else if (axis->IsAttribute()) {
        cond.append("N_TYPE=ATTRIBUTE");
        BuildNameCondition(test, cond);
        cond.append(" AND.T N_TVALUE");
        join = AXIS_ATTRIBUTE;
    } else if (axis->IsSelf() && TypeTest(test) == NTYPE_NODE) {
        XPathAxisLocationStep* context = m_pContextStep;
        Steps before = EffectiveSteps(contextPath, true);
        if (!before.empty())
            context = dynamic_cast<XPathAxisLocationStep*>(before.back());
        join = ContextValueCondition(step, context, cond);
    } else {
        Failf("Comparison using the \"%s\" axis is not supported.", axis->GetName());
    }
    AppendComparison(pair->GetOperator(), value, cond);
    cond.append(suffix);
    PushExpr(pair);
    SearchSet* set = AddSearchSet(new ExpressionSearchSet(pair, &cond, m_pLogger));
    set->Execute();
    if (contextPath)
        return ProcessLocPath(contextPath, set, join, nullptr);
    return set;
}

SearchSet* VXProcessorMain::ProcessPosition(XPathExpressionPair* pair, XPathFunction* function,
                                            XPathPath* contextPath, CStringBuffer& value, int baseSearchSet)
{
    if (!function->IsNamed("position") && !function->IsNamed("last")) {
        CStringBuffer name;
        function->GetName(name);
        Failf("Unsupported function \"%s\" in comparison.", name);
    }
    if (value.length() == 0)
        Fail("Cannot compare position() or last() to an empty string.");

    // Positions count within the node set the predicate filters.
    SearchSet* starting = m_pPositionContext ? m_pPositionContext : (GetSearchSetCount() > 0 ? NewestSet() : nullptr);
    SearchSet* context = starting;
    SearchSet* firstStep = nullptr;
    Steps walk = EffectiveSteps(contextPath, true);
    int steps = contextPath ? static_cast<int>(walk.size()) + 1 : 0;
    for (int i = 0; i < steps - 1; ++i) {
        SearchSet* s = ProcessNode(walk[static_cast<size_t>(i)], 0);
        if (!s)
            Fail("INTERNAL ERROR: Invalid location step type!");
        s->Execute();
        if (i == 0) {
            firstStep = s;
            s->SetCrossConnect(false);
        }
        context = context ? ConnectSets(context, s, 2, AXIS_INVALID) : s;
    }
    if (!context)
        Fail("Call to position() or last() with a NULL context node set.");

    if (function->IsNamed("last")) {
        int n = atoi(value);
        if (n >= 0)
            value.format("%d", -n);
    }
    static const char* const ops[] = {"EQ", "NE", "GT", "LT", "LE", "GE"};
    int number = context->GetNumber();
    CStringBuffer prefix, suffix, cond;
    Prefix(baseSearchSet, prefix, suffix);
    cond.format("XPATH(SELF,%d,%d,1,%s,%s)", number, number, ops[pair->GetOperator() - PAIRSEP_EQ], (const char*)value);
    if (prefix.length() > 0)
        cond.insert(prefix, 0);
    cond.append(suffix);
    PushExpr(pair);
    SearchSet* set = AddSearchSet(new ExpressionSearchSet(pair, &cond, m_pLogger));
    set->SetCrossConnect(false);
    set->Execute();
    if (steps == 2) {
        SearchSet* r = ConnectSets(starting, set, 1, AxisOf(walk.front()));
        r->SetCrossConnect(false);
        return r;
    }
    if (steps >= 3)
        return firstStep;
    return set;
}

// ---------------------------------------------------------------- contains()

SearchSet* VXProcessorMain::ProcessContains(XPathAxisLocationStep* holder, XPathFunction* function,
                                            int baseSearchSet)
{
    XPathExpressionList* args = function->GetArgs();
    if (!args || args->GetSize() != 2)
        Fail("ERROR: Invalid number of arguments to contains function.");
    XPathExpression* first = args->Get(0);
    XPathAxisLocationStep* step = dynamic_cast<XPathAxisLocationStep*>(ToLocationStep(first));
    XPathScalar* scalar = ToScalar(args->Get(1));
    if (!step || !scalar || !step->GetAxis())
        Fail("A contains() function must have a location path as first argument and a scalar value as second.");
    CStringBuffer value;
    scalar->ToString(value, true, false, false);

    CStringBuffer prefix, suffix;
    Prefix(baseSearchSet, prefix, suffix);
    CStringBuffer cond(prefix);
    XPathAxis* axis = step->GetAxis();
    XPathNodeTest* test = axis->GetNodeTest();
    XPathPath* path = dynamic_cast<XPathPath*>(first);
    EAxisType join;
    if (axis->IsChild() && TypeTest(test) == NTYPE_TEXT) {
        // Written text(): the text children of the context only.
        cond.append("N_TYPE=TEXT AND.T N_TVALUE");
        join = AXIS_CHILD;
    } else if (axis->IsSelf() && TypeTest(test) == NTYPE_NODE) {
        XPathAxisLocationStep* context = m_pContextStep;
        Steps before = EffectiveSteps(path, true);
        if (!before.empty())
            context = dynamic_cast<XPathAxisLocationStep*>(before.back());
        join = ContextValueCondition(step, context, cond);
    } else if (axis->IsAttribute()) {
        cond.append("N_TYPE=ATTRIBUTE");
        BuildNameCondition(test, cond);
        cond.append(" AND.T N_TVALUE");
        join = AXIS_ATTRIBUTE;
    } else {
        Fail("Unpexpected lvalue type in contains().");
    }
    // Every string contains the empty string: any value will do.
    if (value.length() == 0) {
        cond.append("=$");
    } else {
        if (!Quotable(value, '$'))
            Failf("The literal \"%s\" cannot be written as a search value.", value);
        cond << "=$" << value << "$";
    }
    cond.append(suffix);
    PushExpr(holder);
    SearchSet* running = AddSearchSet(new ExpressionSearchSet(holder, &cond, m_pLogger));
    if (path) {
        Steps walk = EffectiveSteps(path, true);
        for (int i = static_cast<int>(walk.size()) - 1; i >= 0; --i) {
            XPathLocationStep* s = walk[static_cast<size_t>(i)];
            SearchSet* set = TranslateStep(s);
            CrossSearchSet* cross = new CrossSearchSet(m_pLogger);
            cross->SetChildSearchSet(running, false);
            cross->SetParentSearchSet(set, true);
            cross->SetAxisType(join);
            join = AxisOf(s);
            running = AddSearchSet(cross);
        }
    }
    // The predicate holding contains() joins its context through the first
    // step of the argument path.
    if (holder->GetAxis())
        holder->GetAxis()->SetType(join);
    return running;
}
