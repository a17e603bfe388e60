// Translates an XPath syntax tree into a chain of search sets whose CCL
// conditions select the matching node parts of the stored documents. The
// last set of the chain holds the answer.
#ifndef VX_VXPROCESSORMAIN_H
#define VX_VXPROCESSORMAIN_H

#include "SearchSet.h"
#include "StringBuffer.h"
#include "VfxLogger.h"
#include "VfxPtrList.h"
#include "VfxStack.h"
#include "XPathNodes.h"

#include <vector>

class VXProcessorMain {
public:
    explicit VXProcessorMain(IVfxLogger* logger);
    ~VXProcessorMain();

    // Saves the session state and switches highlighting on; false when the
    // state could not be saved (End then does nothing).
    bool Begin();
    // Deletes the kernel sets of every search set but the last, renumbers,
    // and restores the session state keeping the sets.
    void End();
    void Clean();
    void EnableEmptySets();

    // The whole translation; throws XPathException* on any failure. The
    // result is the last search set (null when none was made).
    SearchSet* Query(const char* xpathQueryExpression);
    // baseSearchSet > 0 restricts the result to the nodes of that kernel set.
    SearchSet* ProcessNode(XPathExpression* expr, int baseSearchSet);
    SearchSet* ProcessLocPath(XPathPath* locpath, SearchSet* child, EAxisType axisType, int* pnTailIndex);
    SearchSet* ProcessPredicate(SearchSet* parent, XPathExpression* predx);
    void BuildNameCondition(XPathNodeTest* nodeTest, CStringBuffer& strCcl);
    SearchSet* ConnectSets(SearchSet* parent, SearchSet* child, int direction, EAxisType overrideAxis);
    SearchSet* MergeSets(int nSet1, int nSet2);
    // Executes every set in creation order; the last one, or null.
    SearchSet* ExecuteAll();

    SearchSet* AddSearchSet(SearchSet* set);
    int GetSearchSetCount() { return m_searchSets.size(); }
    SearchSet* GetSearchSet(int index) { return static_cast<SearchSet*>(m_searchSets.get(index)); }
    void PushExpr(XPathExpression* expr) { m_nodeStack.push(expr); }
    XPathExpression* PopExpr() { return static_cast<XPathExpression*>(m_nodeStack.pop()); }
    XPathExpression* PeekExpr() { return static_cast<XPathExpression*>(m_nodeStack.top()); }

    static XPathLocationStep* ToLocationStep(XPathExpression* expr);
    static XPathScalar* ToScalar(XPathExpression* expr);

    VXProcessorMain(const VXProcessorMain&) = delete;
    VXProcessorMain& operator=(const VXProcessorMain&) = delete;

protected:
    // stepResults, when given, receives each step's set after its joins and predicates.
    SearchSet* ProcessPath(XPathPath* path, int baseSearchSet, std::vector<SearchSet*>* stepResults = nullptr);
    // The nodes of the path's first step from which the whole path leads somewhere.
    SearchSet* ProcessPathBackwards(XPathPath* path);
    // Translates one step of a path walked backwards, its predicates included.
    SearchSet* TranslateStep(XPathLocationStep* step);
    // The step's predicates applied to current; current when it has none.
    SearchSet* ApplyPredicates(XPathLocationStep* step, SearchSet* current);
    SearchSet* ProcessStep(XPathAxisLocationStep* step, int baseSearchSet);
    SearchSet* ProcessComparison(XPathExpressionPair* pair, int baseSearchSet);
    SearchSet* ProcessPosition(XPathExpressionPair* pair, XPathFunction* function, XPathPath* contextPath,
                               CStringBuffer& value, int baseSearchSet);
    SearchSet* ProcessContains(XPathAxisLocationStep* holder, XPathFunction* function, int baseSearchSet);
    // The condition on a context node's own value, for "." in a comparison
    // or in contains(): the node type of the context decides.
    EAxisType ContextValueCondition(XPathAxisLocationStep* dotStep, XPathAxisLocationStep* context,
                                    CStringBuffer& cond);
    // Appends op and value to a comparison condition.
    void AppendComparison(EPairOperator op, CStringBuffer& value, CStringBuffer& cond);
    void ExecuteCommand(CStringBuffer& ccl);
    SearchSet* NewestSet() { return GetSearchSet(GetSearchSetCount() - 1); }
    static void Prefix(int baseSearchSet, CStringBuffer& prefix, CStringBuffer& suffix);

    XPathStatement* m_pCurrentStatement;
    CPtrStack m_nodeStack;
    VfxPtrList m_searchSets;
    IVfxLogger* m_pLogger;
    bool m_bBeginCalled;
    // Step 0 of an absolute path is being translated.
    bool m_bRootStep;
    // The step whose predicates are being translated.
    XPathAxisLocationStep* m_pContextStep;
    // The node set the current predicate filters; positions count in it.
    SearchSet* m_pPositionContext;
};

#endif
