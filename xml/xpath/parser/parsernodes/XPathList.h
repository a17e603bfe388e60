// Owning lists of tree nodes: expression lists (predicates, arguments),
// location paths and unions of paths.
#ifndef VX_XPATHLIST_H
#define VX_XPATHLIST_H

#include "VfxPtrList.h"
#include "XPathExpression.h"

class XPathLocationStep;
class XPathPath;

template <class T>
class XPathList : public virtual XPathStatement {
public:
    XPathList();
    ~XPathList() override;

    XPathList<T>* Clone() override;
    void ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix) override;
    void ToDebugString(CStringBuffer& str, bool recursive, int level) override;

    // The list owns every item handed to it; an index outside the list
    // inserts at the nearer end, so no item is ever dropped.
    void Add(T* item) { m_list.append(item); }
    void Insert(int index, T* item)
    {
        int size = m_list.size();
        m_list.insert(index < 0 ? 0 : index > size ? size : index, item);
    }
    int GetSize() { return m_list.size(); }
    T* Get(int index) { return static_cast<T*>(m_list.get(index)); }

protected:
    void CloneItemsInto(XPathList<T>* target);
    void ItemsToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix,
                       const char* separator);
    void ItemsToDebugString(CStringBuffer& str, bool recursive, int level);

    VfxPtrList m_list;
};

extern template class XPathList<XPathExpression>;
extern template class XPathList<XPathLocationStep>;
extern template class XPathList<XPathPath>;

class XPathExpressionList : public virtual XPathList<XPathExpression> {
public:
    XPathExpressionList();
    XPathExpressionList* Clone() override;
    void ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix) override;
    void ToDebugString(CStringBuffer& str, bool recursive, int level) override;
};

// The ordered location steps of one location path.
class XPathPath : public virtual XPathList<XPathLocationStep> {
public:
    XPathPath();
    XPathPath* Clone() override;
    void ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix) override;
    void ToDebugString(CStringBuffer& str, bool recursive, int level) override;
};

// The alternatives of a | b | ...
class XPathUnionExpression : public XPathList<XPathPath> {
public:
    XPathUnionExpression();
    XPathUnionExpression* Clone() override;
    void ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix) override;
    void ToDebugString(CStringBuffer& str, bool recursive, int level) override;
};

#endif
