// Node builders called by the grammar actions, and the error channel shared
// by scanner and grammar.
#ifndef VX_VXGRAMMAR_H
#define VX_VXGRAMMAR_H

#include "XPathNodes.h"

// Raised by the scanner's fatal-error hook instead of ending the process.
class VXScannerError {
public:
    explicit VXScannerError(const char* msg);
    const char* what() const { return m_szMsg; }

private:
    char m_szMsg[256];
};

[[noreturn]] void VXScannerFatal(const char* msg);

class VXGrammar {
public:
    // Appends a message to the parse error of the parser behind the scanner.
    static void Error(void* scanner, const char* fmt, ...)
#ifdef __GNUC__
        __attribute__((format(printf, 2, 3)))
#endif
        ;

    // Counts an operator of the parse behind the scanner; reports the error
    // and returns false when the expression has too many.
    static bool CountOperator(void* scanner);

    // Every builder takes ownership of the nodes passed in, also when it fails
    // (it then reports the error and returns null).
    struct NodeSets {
        static XPathStatement* UnionExpression(void* scanner, XPathStatement* left, XPathPath* right);
        static XPathPath* Path(XPathStepParent delim, XPathPath* path);
        static XPathPath* Path(XPathLocationStep* step);
        static XPathPath* Path(XPathPath* path, XPathStepParent delim, XPathLocationStep* step);
        static XPathAxisLocationStep* LocationStep(XPathAxis* axis, XPathExpressionList* list);
        static XPathFilterExpression* FilterExpression(XPathExpression* expr);
        static XPathAxisLocationStep* ContextNode();
        static XPathAxisLocationStep* ParentNode();
    };

    struct Composite {
        static XPathAxis* Axis(void* scanner, const char* name, XPathNodeTest* test);
        static XPathFunction* Function(const char* name, XPathExpressionList* args);
        // bCall: the name was written with "()".
        static XPathNodeTest* NodeTest(void* scanner, const char* name, bool bCall);
        static XPathPredicate* Predicate(XPathExpression* expr);
    };

    struct Expr {
        static XPathExpressionPair* AddCompositePair(XPathExpression* left, const char* word,
                                                     XPathExpression* right);
        static XPathExpression* Subtract(XPathExpression* left, XPathExpression* right);
    };
};

#endif
