// CIntStack and CPtrStack: stacks that grow one element at a time and give
// their array back when they become empty. Element 0 is the bottom.
#pragma once

class CIntStack {
public:
    CIntStack() : m_nMaxLen(0), m_nLength(0), m_pnStack(nullptr) {}
    ~CIntStack();
    CIntStack(const CIntStack&) = delete;
    CIntStack& operator=(const CIntStack&) = delete;

    void push(int n);
    // 0 when empty.
    int top() const;
    int pop();
    // Element i from the bottom, 0 outside 0..size-1.
    int peek(int i) const;
    int size() const { return m_nLength; }

protected:
    int m_nMaxLen;
    int m_nLength;
    int* m_pnStack;
};

class CPtrStack {
public:
    CPtrStack() : m_nMaxLen(0), m_nLength(0), m_ppStack(nullptr) {}
    ~CPtrStack();
    CPtrStack(const CPtrStack&) = delete;
    CPtrStack& operator=(const CPtrStack&) = delete;

    void push(void* p);
    // Null when empty.
    void* top() const;
    void* pop();
    void* peek(int i) const;
    int size() const { return m_nLength; }

protected:
    int m_nMaxLen;
    int m_nLength;
    void** m_ppStack;
};
