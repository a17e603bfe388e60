#include "XPathNodes.h"

// ---------------------------------------------------------------- XPathList<T>

template <class T>
XPathList<T>::XPathList()
{
}

template <class T>
XPathList<T>::~XPathList()
{
    for (int i = 0; i < m_list.size(); i++)
        delete static_cast<T*>(m_list.get(i));
}

template <class T>
void XPathList<T>::CloneItemsInto(XPathList<T>* target)
{
    target->SetParenthesized(IsParenthesized());
    for (int i = 0; i < m_list.size(); i++) {
        T* item = XPathCloneOf(Get(i));
        if (item)
            target->Add(item);
    }
}

template <class T>
XPathList<T>* XPathList<T>::Clone()
{
    XPathList<T>* copy = new XPathList<T>();
    CloneItemsInto(copy);
    return copy;
}

template <class T>
void XPathList<T>::ItemsToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix,
                                 const char* separator)
{
    for (int i = 0; i < m_list.size(); i++) {
        if (i > 0)
            AppendText(str, separator);
        T* item = Get(i);
        if (item)
            item->ToString(str, recursive, prefix, suffix);
    }
}

template <class T>
void XPathList<T>::ItemsToDebugString(CStringBuffer& str, bool recursive, int level)
{
    for (int i = 0; i < m_list.size(); i++) {
        T* item = Get(i);
        if (item)
            item->ToDebugString(str, recursive, level);
    }
}

template <class T>
void XPathList<T>::ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix)
{
    ItemsToString(str, recursive, prefix, suffix, "");
}

template <class T>
void XPathList<T>::ToDebugString(CStringBuffer& str, bool recursive, int level)
{
    NewDebugLine(str, level);
    AppendText(str, "XPathList COUNT=");
    str.append(GetSize());
    if (recursive)
        ItemsToDebugString(str, recursive, level + 1);
}

template class XPathList<XPathExpression>;
template class XPathList<XPathLocationStep>;
template class XPathList<XPathPath>;

// ---------------------------------------------------------------- XPathExpressionList

XPathExpressionList::XPathExpressionList()
{
}

XPathExpressionList* XPathExpressionList::Clone()
{
    XPathExpressionList* copy = new XPathExpressionList();
    CloneItemsInto(copy);
    return copy;
}

void XPathExpressionList::ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix)
{
    ItemsToString(str, recursive, prefix, suffix, "");
}

void XPathExpressionList::ToDebugString(CStringBuffer& str, bool recursive, int level)
{
    NewDebugLine(str, level);
    AppendText(str, "XPathExpressionList COUNT=");
    str.append(GetSize());
    if (recursive)
        ItemsToDebugString(str, recursive, level + 1);
}

// ---------------------------------------------------------------- XPathPath

XPathPath::XPathPath()
{
}

XPathPath* XPathPath::Clone()
{
    XPathPath* copy = new XPathPath();
    CloneItemsInto(copy);
    return copy;
}

void XPathPath::ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix)
{
    if (recursive)
        ItemsToString(str, recursive, prefix, suffix, "");
}

void XPathPath::ToDebugString(CStringBuffer& str, bool recursive, int level)
{
    NewDebugLine(str, level);
    AppendText(str, "XPathPath COUNT=");
    str.append(GetSize());
    if (recursive)
        ItemsToDebugString(str, recursive, level + 1);
}

// ---------------------------------------------------------------- XPathUnionExpression

XPathUnionExpression::XPathUnionExpression()
{
}

XPathUnionExpression* XPathUnionExpression::Clone()
{
    // A union stays a union, so a copy prints and translates like the original.
    XPathUnionExpression* copy = new XPathUnionExpression();
    CloneItemsInto(copy);
    return copy;
}

void XPathUnionExpression::ToString(CStringBuffer& str, bool recursive, bool prefix, bool suffix)
{
    ItemsToString(str, recursive, prefix, suffix, "|");
}

void XPathUnionExpression::ToDebugString(CStringBuffer& str, bool recursive, int level)
{
    NewDebugLine(str, level);
    AppendText(str, "XPathUnionExpression PARTS=");
    str.append(GetSize());
    if (recursive)
        ItemsToDebugString(str, recursive, level + 1);
}
