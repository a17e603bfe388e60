/* Grammar of the XPath subset: location paths, unions, predicates with
   comparisons, arithmetic and one and/or, literals and function calls. */

%code requires {
#include "XPathNodes.h"
}

%{
#include "VXGrammar.h"

void xpath_error(void* scanner, XPathStatement** ppResult, const char* msg);

// Counts an operator; past the limit the operands are released and the
// parse fails.
#define VX_OPERATOR(a, b)                       \
    do {                                        \
        if (!VXGrammar::CountOperator(scanner)) { \
            delete (a);                         \
            delete (b);                         \
            YYABORT;                            \
        }                                       \
    } while (0)
%}

%define api.pure full
%define api.prefix {xpath_}
%lex-param {void* scanner}
%parse-param {void* scanner} {XPathStatement** ppResult}

%code provides {
int xpath_lex(XPATH_STYPE* yylval_param, void* yyscanner);
int xpath_parse(void* scanner, XPathStatement** ppResult);
}

%union {
    long nValue;
    double fValue;
    char* pszValue;
    XPathStepParent eDelim;
    XPathStatement* pStatement;
    XPathPath* pPath;
    XPathAxisLocationStep* pStep;
    XPathAxis* pAxis;
    XPathNodeTest* pTest;
    XPathExpressionList* pList;
    XPathPredicate* pPredicate;
    XPathFilterExpression* pFilter;
    XPathScalar* pScalar;
    XPathName* pName;
    XPathExpression* pExpr;
}

%token <nValue> INT_CONST 258
%token <fValue> FLOAT_CONST 259
%token <pszValue> STRING_CONST 260
%token <pszValue> NCNAME 261
%token LESSEQ 262
%token GREATEQ 263
%token NOTEQUAL 264
%token ASTERISK 265
%token DOUBLESLASH 266
%token DOUBLECOLON 267
%token CONTEXTNODE 268
%token PARENTNODE 269
%token AT 270

%left '=' NOTEQUAL '<' '>' LESSEQ GREATEQ
%left '+' '-'
%left ASTERISK

%type <pStatement> union
%type <pPath> path relpath
%type <eDelim> delim
%type <pStep> step
%type <pAxis> axis
%type <pTest> nodetest
%type <pList> predicates args
%type <pPredicate> predicate
%type <pExpr> composite expr primary arg
%type <pFilter> filter
%type <pScalar> literal
%type <pName> qname

/* Whatever a failed parse leaves on the stack is released. Strings are the
   parser's memory and need nothing. */
%destructor { delete $$; } <pStatement> <pPath> <pStep> <pAxis> <pTest> <pList> <pPredicate> <pFilter> <pScalar> <pName> <pExpr>

%%

statement
    : union                         { *ppResult = $1; }
    ;

union
    : path
        {
            if (!$1) {
                VXGrammar::Error(scanner, "Invalid (zero-length) location path.");
                YYABORT;
            }
            $$ = $1;
        }
    | union '|' path
        {
            $$ = VXGrammar::NodeSets::UnionExpression(scanner, $1, $3);
            if (!$$)
                YYABORT;
        }
    ;

path
    : relpath                       { $$ = $1; }
    | delim relpath                 { $$ = VXGrammar::NodeSets::Path($1, $2); }
    ;

relpath
    : step                          { $$ = VXGrammar::NodeSets::Path($1); }
    | relpath delim step            { $$ = VXGrammar::NodeSets::Path($1, $2, $3); }
    ;

delim
    : '/'                           { $$ = XPATH_STEP_PARENT_IMMEDIATE; }
    | DOUBLESLASH                   { $$ = XPATH_STEP_PARENT_ANY; }
    ;

step
    : axis predicates               { $$ = VXGrammar::NodeSets::LocationStep($1, $2); }
    | CONTEXTNODE                   { $$ = VXGrammar::NodeSets::ContextNode(); }
    | PARENTNODE                    { $$ = VXGrammar::NodeSets::ParentNode(); }
    ;

axis
    : NCNAME DOUBLECOLON nodetest
        {
            $$ = VXGrammar::Composite::Axis(scanner, $1, $3);
            if (!$$)
                YYABORT;
        }
    | AT nodetest                   { $$ = new XPathAxis($2, true); }
    | nodetest                      { $$ = new XPathAxis($1, false); }
    ;

nodetest
    : NCNAME ':' ASTERISK           { $$ = new XPathNodeNameTest(new XPathName($1, "")); }
    | ASTERISK                      { $$ = new XPathNodeTest(true); }
    | NCNAME '(' args ')'           { $$ = VXGrammar::Composite::Function($1, $3); }
    | NCNAME '(' ')'
        {
            $$ = VXGrammar::Composite::NodeTest(scanner, $1, true);
            if (!$$)
                YYABORT;
        }
    | qname                         { $$ = new XPathNodeNameTest($1); }
    ;

predicates
    : %empty                        { $$ = new XPathExpressionList(); }
    | predicates predicate          { $1->Add($2); $$ = $1; }
    ;

predicate
    : '[' expr ']'                  { $$ = VXGrammar::Composite::Predicate($2); }
    | '[' composite ']'             { $$ = VXGrammar::Composite::Predicate($2); }
    ;

composite
    : expr NCNAME expr              { VX_OPERATOR($1, $3); $$ = VXGrammar::Expr::AddCompositePair($1, $2, $3); }
    ;

expr
    : primary                       { $$ = $1; }
    | expr '+' expr                 { VX_OPERATOR($1, $3); $$ = new XPathExpressionPair($1, PAIRSEP_ADD, $3); }
    | expr '-' expr                 { VX_OPERATOR($1, $3); $$ = VXGrammar::Expr::Subtract($1, $3); }
    | expr ASTERISK expr            { VX_OPERATOR($1, $3); $$ = new XPathExpressionPair($1, PAIRSEP_MUL, $3); }
    | expr '=' expr                 { VX_OPERATOR($1, $3); $$ = new XPathExpressionPair($1, PAIRSEP_EQ, $3); }
    | expr NOTEQUAL expr            { VX_OPERATOR($1, $3); $$ = new XPathExpressionPair($1, PAIRSEP_NE, $3); }
    | expr '<' expr                 { VX_OPERATOR($1, $3); $$ = new XPathExpressionPair($1, PAIRSEP_LT, $3); }
    | expr '>' expr                 { VX_OPERATOR($1, $3); $$ = new XPathExpressionPair($1, PAIRSEP_GT, $3); }
    | expr LESSEQ expr              { VX_OPERATOR($1, $3); $$ = new XPathExpressionPair($1, PAIRSEP_LE, $3); }
    | expr GREATEQ expr             { VX_OPERATOR($1, $3); $$ = new XPathExpressionPair($1, PAIRSEP_GE, $3); }
    | '(' expr ')'                  { $2->SetParenthesized(true); $$ = $2; }
    ;

primary
    : path                          { $$ = $1; }
    | filter                        { $$ = $1; }
    ;

filter
    : literal                       { $$ = VXGrammar::NodeSets::FilterExpression($1); }
    | filter predicate              { VX_OPERATOR($1, $2); $$ = new XPathFilterExpression($1, $2); }
    ;

literal
    : INT_CONST                     { $$ = new XPathInt(static_cast<int>($1)); }
    | FLOAT_CONST                   { $$ = new XPathFloat($1); }
    | STRING_CONST                  { $$ = new XPathChar($1); }
    ;

args
    : arg                           { $$ = new XPathExpressionList(); $$->Add($1); }
    | args ',' arg                  { $1->Add($3); $$ = $1; }
    ;

arg
    : literal                       { $$ = $1; }
    | path                          { $$ = $1; }
    ;

qname
    : NCNAME ':' NCNAME             { $$ = new XPathName($1, $3); }
    | NCNAME                        { $$ = new XPathName($1); }
    ;

%%

void xpath_error(void* scanner, XPathStatement** ppResult, const char* msg)
{
    VXGrammar::Error(scanner, "%s", msg);
}
