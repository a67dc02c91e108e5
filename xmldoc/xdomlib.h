// The XML document library: documents, nodes, node lists and attribute maps
// as value classes over a DOM parser.
#ifndef KAVEX_XMLDOC_XDOMLIB_H_
#define KAVEX_XMLDOC_XDOMLIB_H_

#include "xmldoc/cx_attributes.h"
#include "xmldoc/cx_document.h"
#include "xmldoc/cx_error.h"
#include "xmldoc/cx_node.h"
#include "xmldoc/cx_node_list.h"

#endif  // KAVEX_XMLDOC_XDOMLIB_H_
