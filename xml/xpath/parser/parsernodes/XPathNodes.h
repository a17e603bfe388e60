// Every class of the XPath syntax tree.
#ifndef VX_XPATHNODES_H
#define VX_XPATHNODES_H

#include "XPathExpression.h"
#include "XPathExpressionPair.h"
#include "XPathList.h"
#include "XPathLocationStep.h"
#include "XPathNodeTest.h"
#include "XPathScalar.h"

#endif
