// Search sets: one kernel search each. A set holds a CCL condition (or builds
// one from other sets), runs it once, and then knows the kernel's set number,
// its record and hit counts and, on request, the hit parts of its records.
#ifndef VX_SEARCHSET_H
#define VX_SEARCHSET_H

#include "StringBuffer.h"
#include "VfxLogger.h"
#include "VfxPtrList.h"
#include "XPathNodes.h"

class SearchSet {
public:
    explicit SearchSet(IVfxLogger* logger);
    virtual ~SearchSet();

    // Executes first when the set has not run.
    virtual int GetRecordCount();
    // Builds the condition of sets made from other sets; nothing here.
    virtual void CreateCondition();
    // Runs the condition as a FIND once (while the number is below 1);
    // throws XPathException* with the kernel's message on failure.
    virtual void Execute();

    void SetNumber(int n) { m_nSearchNumber = n; }
    // Executes first when the number is below 1.
    int GetNumber();
    // The number without running the set (below 1: it has not run).
    int GetNumberIfRun() const { return m_nSearchNumber; }
    int GetHitCount() const { return m_nHitCount; }
    void SetCondition(CStringBuffer& cond);
    // Builds the condition first when it is empty.
    void GetCondition(CStringBuffer& cond);
    int GetId() const { return m_nId; }
    static void ResetId() { m_nLastId = 0; }
    void SetCrossConnect(bool b) { m_bCrossConnect = b; }
    bool GetCrossConnect() const { return m_bCrossConnect; }

    // The (record id, part) pairs of the set's hits in a VfxMemAlloc block
    // (free with VfxMemFree): element 0 holds the pair count, then the pairs.
    // nMaxRecords > 0 stops after that many records. Returns the pair count.
    int GetHitTuples(int** ppnHits, int nMaxRecords);
    // The distinct hit parts, ascending, of the record loaded in recCtl
    // within its hit context, in a VfxMemAlloc block; returns their number.
    static int GetHitTuplesFromRecord(void* recCtl, int** ppnHits);

    // The session's local spelling of a canonical CCL command word.
    static void LocalWord(const char* canon, CStringBuffer& out);

protected:
    // Step 3 of Execute: the counts of the set the session made last.
    void ReadLastSearch(const char* module);
    // "(SS/%02d) Expression %s" or "(SS/%02d) Composite expression".
    void LogExpression(const char* module, XPathExpression* expr);
    bool IsDebug() const;

    IVfxLogger* m_pLogger;
    int m_nRecordCount;
    int m_nId;
    int m_nSearchNumber;
    int m_nHitCount;
    CStringBuffer m_strCondition;
    bool m_bCrossConnect;

    static int m_nLastId;
};

class ExpressionSearchSet : public SearchSet {
public:
    ExpressionSearchSet(XPathExpression* expr, CStringBuffer* pStrCond, IVfxLogger* logger);
    XPathExpression* GetExpression() { return m_pExpr; }

protected:
    ExpressionSearchSet(const char* module, XPathExpression* expr, IVfxLogger* logger);
    XPathExpression* m_pExpr;
};

// The hits of any member set.
class UnionSearchSet : public ExpressionSearchSet {
public:
    UnionSearchSet(XPathExpression* expr, IVfxLogger* logger);
    void AddSearchSet(SearchSet* set) { m_sets.append(set); }
    void CreateCondition() override;

protected:
    VfxPtrList m_sets;
};

// The hits every member set has.
class IntersectionSearchSet : public ExpressionSearchSet {
public:
    IntersectionSearchSet(XPathExpression* expr, IVfxLogger* logger);
    void AddSearchSet(SearchSet* set) { m_sets.append(set); }
    void CreateCondition() override;

protected:
    VfxPtrList m_sets;
};

// Whatever set the session produced last, read anew on every Execute.
class ContextSearchSet : public SearchSet {
public:
    ContextSearchSet(XPathExpression* expr, IVfxLogger* logger);
    void Execute() override;
    XPathExpression* GetExpression() { return m_pExpr; }

protected:
    XPathExpression* m_pExpr;
};

// Every node: never runs, its number stays 0, which XPATH(...) reads as all nodes.
class UniversalSearchSet : public SearchSet {
public:
    UniversalSearchSet(XPathExpression* expr, IVfxLogger* logger);
    void Execute() override;
    EAxisType GetAxisType() const { return m_eAxisType; }
    XPathExpression* GetExpression() { return m_pExpr; }

protected:
    EAxisType m_eAxisType;
    XPathExpression* m_pExpr;
};

// A structural join of two sets through the kernel's XPATH(axis,P,C,d).
class CrossSearchSet : public SearchSet {
public:
    explicit CrossSearchSet(IVfxLogger* logger);

    // Direction 2 when useThisSet, else 1 (the later of the two setters decides).
    void SetChildSearchSet(SearchSet* set, bool useThisSet);
    // Direction 1 when useThisSet, else 2.
    void SetParentSearchSet(SearchSet* set, bool useThisSet);
    SearchSet* GetChildSearchSet() { return m_pChildSet; }
    SearchSet* GetParentSearchSet() { return m_pParentSet; }
    void SetAxisType(EAxisType axis) { m_eAxisType = axis; }
    // The own axis, else resolved from the child, then from the parent; child at last.
    EAxisType GetAxisType();
    void SetModus(int direction) { m_nDirection = direction; }
    int GetModus() const { return m_nDirection; }
    XPathExpression* GetParentExpression();
    // Swaps the roles when the child's axis is the parent axis.
    void Assign(SearchSet* parent, SearchSet* child);
    void CreateCondition() override;

    // "child", "attribute", ... for the axis codes 1-13; throws otherwise.
    static const char* AxisName(int axis);

protected:
    static EAxisType AxisOfChild(SearchSet* set);
    static EAxisType AxisOfParent(SearchSet* set);

    int m_nDirection;
    SearchSet* m_pChildSet;
    SearchSet* m_pParentSet;
    EAxisType m_eAxisType;
};

#endif
