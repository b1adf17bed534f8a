// Declarations: types and their sizes, declarators, parameter lists, storage
// classes and placement, structures and unions, typedefs, initializers,
// function definitions and builtin stubs, and the exported function table.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "compiler/compiler.h"
#include "compiler/compiler_state.h"
#include "vm/context.h"

namespace kc {
namespace {

// ---- Exported functions (process-wide) --------------------------------------------

struct ExportedFunction {
  char name[32];
  int32_t result_type;
  uint32_t address;
};
ExportedFunction exported[kMaxExportedFunctions];
int exported_count = 0;

int FindExported(std::string_view name) {
  for (int i = 0; i < exported_count; ++i)
    if (name == exported[i].name) return i;
  return -1;
}

// ---- Declarators -------------------------------------------------------------------

enum DeclOpKind { kOpPointer, kOpArray, kOpFunction };
struct DeclOp {
  int kind;
  int32_t count;  // array count, -1 for empty brackets
};
constexpr int kMaxDeclOps = 32;

struct Declarator {
  int sym = -1;
  bool named_params = false;
  DeclOp ops[kMaxDeclOps];
  int count = 0;
};

enum DeclContext { kCtxGlobal, kCtxLocal, kCtxMember, kCtxParam };

int param_nesting = 0;  // parameter lists being read
bool in_union = false;
int32_t member_offset = 0;

void AddOp(Declarator& d, int kind, int32_t count) {
  if (d.count >= kMaxDeclOps) RaiseError(kErrDeclaration);
  d.ops[d.count++] = DeclOp{kind, count};
}

int32_t ParseTypeSpecifier(bool* found);

int TypedefSymbol() {
  if (g.tok.code != kTokName) return -1;
  if (Sym(g.tok.sym).kind == kSymTypedef) return g.tok.sym;
  if (Sym(g.tok.sym).kind == kSymUndeclared && Sym(g.tok.global_sym).kind == kSymTypedef) return g.tok.global_sym;
  return -1;
}

bool StartsType() {
  switch (g.tok.code) {
    case kKwInt: case kKwChar: case kKwStruct: case kKwUnion: case kKwSigned: case kKwUnsigned:
    case kKwLong: case kKwShort: case kKwFloat:
      return true;
    default:
      return TypedefSymbol() >= 0;
  }
}

int32_t ConstantCount() {
  int saved_lo = g.heap_lo, saved_hi = g.heap_hi;
  Expr e = ParseConditionalExpr();
  if (!IsConstant(e) || IsFloatType(e.type)) RaiseError(kErrNotConstant);
  int32_t v = static_cast<int32_t>(ConstantValue(e));
  g.heap_lo = saved_lo;
  g.heap_hi = saved_hi;
  return v;
}

void DeclareParameter(int sym, int32_t type, int index) {
  Symbol& s = Sym(sym);
  if (s.kind != kSymUndeclared || sym < kGlobalSymbols) RaiseError(kErrDeclaration);
  s.kind = kSymLocal;
  s.type = type;
  s.value = static_cast<uint32_t>(4 + 4 * index);
}

void ParseDeclaratorOps(Declarator& d, bool abstract);

int32_t ApplyOps(int32_t base, const Declarator& d) {
  int32_t t = base;
  for (int i = 0; i < d.count; ++i) {
    const DeclOp& op = d.ops[i];
    if (op.kind == kOpPointer) {
      t = PointerTo(t);
    } else if (op.kind == kOpArray) {
      if (op.count < 0) RaiseError(kErrDeclaration);
      if (IsFunctionType(t)) RaiseError(kErrDeclaration);
      int64_t size = int64_t{TypeSize(t)} * op.count;
      if (size > 0x7FFFFFFF) RaiseError(kErrDeclaration);
      t = ArrayOf(t, op.count);
    } else {
      if (IsArray(t) || IsFunctionType(t)) RaiseError(kErrDeclaration);
      t = FunctionReturning(t);
    }
  }
  return t;
}

// Parameters of a function suffix; '(' has been read.
void ParseParameters(Declarator& d, bool allow_named, int saved_scope) {
  if (g.tok.code == kTokRParen) {
    g.scope = saved_scope;
    NextToken();
    return;
  }
  if (!allow_named) RaiseError(kErrDeclaration);
  ++param_nesting;
  int index = 1;
  for (;;) {
    int sym;
    int32_t type;
    if (StartsType()) {
      bool found = false;
      int32_t base = ParseTypeSpecifier(&found);
      Declarator pd;
      ParseDeclaratorOps(pd, false);
      if (pd.sym < 0) RaiseError(kErrDeclaration);
      // Empty brackets (and, soundly, a counted array) make a pointer.
      if (pd.count > 0 && pd.ops[pd.count - 1].kind == kOpArray) pd.ops[pd.count - 1] = DeclOp{kOpPointer, 0};
      type = ApplyOps(base, pd);
      if (IsFunctionType(type)) RaiseError(kErrDeclaration);
      sym = pd.sym;
    } else if (g.tok.code == kTokName) {
      sym = g.tok.sym;
      type = kTypeInt;
      NextToken();
    } else {
      RaiseError(kErrDeclaration);
    }
    DeclareParameter(sym, type, index++);
    if (g.tok.code == kTokComma) {
      NextToken();
      continue;
    }
    if (g.tok.code == kTokRParen) break;
    RaiseError(kErrDeclaration);
  }
  --param_nesting;
  d.named_params = true;
  g.scope = saved_scope;
  NextToken();
}

void ParseSuffixes(Declarator& d, DeclOp* suffixes, int* n, bool abstract) {
  for (;;) {
    if (g.tok.code == kTokLBracket) {
      NextToken();
      int32_t count = -1;
      if (g.tok.code != kTokRBracket) {
        count = ConstantCount();
        if (count < 0) RaiseError(kErrDeclaration);
      }
      Expect(kTokRBracket);
      if (*n >= kMaxDeclOps) RaiseError(kErrDeclaration);
      suffixes[(*n)++] = DeclOp{kOpArray, count};
    } else if (g.tok.code == kTokLParen) {
      int saved_scope = g.scope;
      bool outermost_global = (saved_scope == kScopeGlobalDecl || saved_scope == kScopeTop) && param_nesting == 0 && !abstract;
      if (outermost_global) {
        g.heap_hi = kHeapCells;
        g.heap_keep = kHeapCells;
      }
      g.scope = kScopeParams;
      NextToken();
      ParseParameters(d, outermost_global, saved_scope);
      if (*n >= kMaxDeclOps) RaiseError(kErrDeclaration);
      suffixes[(*n)++] = DeclOp{kOpFunction, 0};
    } else {
      return;
    }
  }
}

void ParseDeclaratorOps(Declarator& d, bool abstract) {
  if (++g.depth > 400) RaiseError(kErrHeap);
  int stars = 0;
  while (g.tok.code == kTokStar) {
    ++stars;
    NextToken();
  }
  Declarator inner;
  bool has_inner = false;
  DeclOp suffixes[kMaxDeclOps];
  int n = 0;
  if (g.tok.code == kTokLParen && (!abstract)) {
    NextToken();
    ParseDeclaratorOps(inner, abstract);
    has_inner = true;
    Expect(kTokRParen);
  } else if (g.tok.code == kTokLParen && abstract) {
    NextToken();
    if (g.tok.code == kTokStar || g.tok.code == kTokLParen || g.tok.code == kTokLBracket) {
      ParseDeclaratorOps(inner, abstract);
      has_inner = true;
      Expect(kTokRParen);
    } else {
      // a function suffix of an abstract declarator
      int saved_scope = g.scope;
      ParseParameters(d, false, saved_scope);
      suffixes[n++] = DeclOp{kOpFunction, 0};
    }
  } else if (g.tok.code == kTokName) {
    if (abstract) RaiseError(kErrDeclaration);
    d.sym = g.tok.sym;
    NextToken();
  }
  ParseSuffixes(d, suffixes, &n, abstract);
  for (int i = 0; i < stars; ++i) AddOp(d, kOpPointer, 0);
  for (int i = n - 1; i >= 0; --i) AddOp(d, suffixes[i].kind, suffixes[i].count);
  if (has_inner) {
    if (inner.sym >= 0) d.sym = inner.sym;
    d.named_params = d.named_params || inner.named_params;
    for (int i = 0; i < inner.count; ++i) AddOp(d, inner.ops[i].kind, inner.ops[i].count);
  }
  --g.depth;
}

// ---- Structures and unions ------------------------------------------------------------

void ParseDeclaration(DeclContext ctx);

int32_t ParseStructSpecifier() {
  int32_t record_kind = g.tok.code == kKwStruct ? kRecStruct : kRecUnion;
  NextToken();
  int tag = -1;
  if (g.tok.code == kTokName) {
    tag = g.tok.sym;
    int global_tag = g.tok.global_sym;
    NextToken();
    if (g.tok.code != kTokLBrace) {
      int s = tag;
      if (Sym(s).kind == kSymUndeclared && Sym(global_tag).kind == kSymTag) s = global_tag;
      if (Sym(s).kind == kSymUndeclared) RaiseError(kErrUndefined);
      if (Sym(s).kind != kSymTag) RaiseError(kErrType);
      int32_t t = Sym(s).type;
      if (RecordKind(t) != record_kind) RaiseError(kErrType);
      return t;
    }
    if (Sym(tag).kind != kSymUndeclared) RaiseError(kErrDeclaration);
  } else if (g.tok.code != kTokLBrace) {
    RaiseError(kErrDeclaration);
  }
  int number = ++g.tag_counter;
  int r = AllocCells(3);
  g.heap[r] = record_kind;
  g.heap[r + 1] = -1;
  g.heap[r + 2] = number;
  if (tag >= 0) {
    Sym(tag).kind = kSymTag;
    Sym(tag).type = r;
  }
  // Members.
  int saved_scope = g.scope;
  int saved_member = g.member_scope;
  bool saved_union = in_union;
  int32_t saved_offset = member_offset;
  bool global = IsGlobalScope(saved_scope);
  g.scope = record_kind == kRecStruct ? (global ? kScopeGlobalStruct : kScopeLocalStruct)
                                      : (global ? kScopeGlobalUnion : kScopeLocalUnion);
  g.member_scope = number;
  in_union = record_kind == kRecUnion;
  member_offset = 0;
  NextToken();
  while (g.tok.code != kTokRBrace) ParseDeclaration(kCtxMember);
  g.heap[r + 1] = member_offset;
  g.scope = saved_scope;
  g.member_scope = saved_member;
  in_union = saved_union;
  member_offset = saved_offset;
  NextToken();
  return r;
}

// Returns the type; *found tells whether any specifier was there.
int32_t ParseTypeSpecifier(bool* found) {
  *found = true;
  int sign = 0;  // 1 signed, 2 unsigned
  if (g.tok.code == kKwSigned) {
    sign = 1;
    NextToken();
  } else if (g.tok.code == kKwUnsigned) {
    sign = 2;
    NextToken();
  }
  int32_t t;
  switch (g.tok.code) {
    case kKwInt:
      NextToken();
      return sign == 2 ? kTypeUInt : kTypeInt;
    case kKwLong:
      t = sign == 2 ? kTypeUInt : kTypeInt;
      NextToken();
      break;
    case kKwShort:
      t = sign == 2 ? kTypeUShort : kTypeShort;
      NextToken();
      break;
    case kKwChar:
      NextToken();
      return sign == 2 ? kTypeUChar : kTypeChar;
    case kKwFloat:
      if (sign) RaiseError(kErrDeclaration);
      NextToken();
      return kTypeFloat;
    case kKwStruct:
    case kKwUnion:
      if (sign) RaiseError(kErrDeclaration);
      return ParseStructSpecifier();
    default: {
      int td = sign ? -1 : TypedefSymbol();
      if (td >= 0) {
        NextToken();
        return Sym(td).type;
      }
      if (sign) return sign == 2 ? kTypeUInt : kTypeInt;
      *found = false;
      return kTypeInt;
    }
  }
  if (g.tok.code == kKwInt) NextToken();
  return t;
}

// ---- Initializers ------------------------------------------------------------------------

void StoreScalar(uint32_t address, int32_t type, uint32_t value) {
  uint8_t* p = HostAt(address);
  if (!p) return;
  int32_t size = TypeSize(type);
  std::memcpy(p, &value, static_cast<size_t>(size));
}

// One static scalar: a constant, the address of a global, a function or a string.
void InitStaticScalarValue(uint32_t address, int32_t type);

// Each element gives back its expression's node cells and string texts once it
// is stored, so an initializer of any length fits the node heap.
void InitStaticScalar(uint32_t address, int32_t type) {
  int saved_hi = g.heap_hi;
  // the element's first token may already be its string literal
  uint32_t saved_strings = g.tok.code == kTokString ? g.tok.text : g.strings_top;
  InitStaticScalarValue(address, type);
  g.heap_hi = saved_hi;
  ReleaseStrings(saved_strings);
}

void InitStaticScalarValue(uint32_t address, int32_t type) {
  Expr e = LoadValue(ParseAssignmentExpr());
  if (IsConstant(e)) {
    StoreScalar(address, type, ConstantOf(e, type));
    return;
  }
  if (TypeSize(type) != 4 || IsFloatType(type)) RaiseError(kErrType);
  uint32_t text, length, target;
  if (IsGlobalAddressNode(e, &target)) {
    StoreScalar(address, type, target);
  } else if (IsFunctionNode(e)) {
    int label = static_cast<int>(Sym(FunctionNodeSymbol(e)).value);
    bool external = ExternalAreaSize() && address - ExternalAreaAddress() < ExternalAreaSize();
    if (!external) {
      if (HostAt(address)) ReferenceLabelAt(label, address - g.base);
    } else if (g.labels[label].state == 0xDF) {
      StoreScalar(address, type, g.labels[label].word);  // an extern variable: only a function defined before
    } else {
      RaiseError(kErrType);
    }
  } else if (IsStringNode(e, &text, &length)) {
    uint32_t at = TakeStaticData(length);
    if (uint8_t* p = HostAt(at)) std::memcpy(p, g.strings + text, length);
    StoreScalar(address, type, at);
  } else {
    RaiseError(kErrType);
  }
}

void InitStatic(uint32_t address, int32_t type);

// The elements of an array initialiser, with or without braces; an empty
// position leaves its element as it is (zero for a static array).
// init(i, element type) reads element i.
template <class InitElement>
void InitArrayElements(int32_t type, InitElement init) {
  int32_t element = TargetType(type);
  int32_t count = Cell(type, 2);
  bool braces = g.tok.code == kTokLBrace;
  if (braces) NextToken();
  int32_t i = 0;
  for (;;) {
    if (braces && g.tok.code == kTokRBrace) break;
    if (g.tok.code == kTokComma) {
      ++i;
      NextToken();
      continue;
    }
    if (i >= count) RaiseError(kErrType);
    init(i, element);
    ++i;
    if (g.tok.code != kTokComma) break;
    NextToken();
  }
  if (braces) Expect(kTokRBrace);
}

void InitStaticArray(uint32_t address, int32_t type) {
  int32_t size = TypeSize(TargetType(type));
  InitArrayElements(type, [&](int32_t i, int32_t element) {
    // a string literal cannot fill a char array, but may fill a pointer element
    if (g.tok.code == kTokString && !IsArray(element) && TypeSize(element) == 1) RaiseError(kErrType);
    InitStatic(address + static_cast<uint32_t>(i * size), element);
  });
}

void InitStatic(uint32_t address, int32_t type) {
  if (IsStructType(type)) RaiseError(kErrType);
  if (IsArray(type)) {
    if (g.tok.code == kTokString) RaiseError(kErrType);
    InitStaticArray(address, type);
    return;
  }
  InitStaticScalar(address, type);
}

void InitLocal(int32_t offset, int32_t type);

void InitLocalArray(int32_t offset, int32_t type) {
  int32_t size = TypeSize(TargetType(type));
  InitArrayElements(type, [&](int32_t i, int32_t element) { InitLocal(offset + i * size, element); });
}

void InitLocal(int32_t offset, int32_t type) {
  if (IsStructType(type)) RaiseError(kErrType);
  if (IsArray(type)) {
    if (g.tok.code == kTokString) RaiseError(kErrType);
    InitLocalArray(offset, type);
    return;
  }
  int saved_hi = g.heap_hi;
  uint32_t saved_strings = g.tok.code == kTokString ? g.tok.text : g.strings_top;
  Expr target = VariableLvalue(kSymLocal, static_cast<uint32_t>(offset), type);
  Expr value = ParseAssignmentExpr();
  Expr assign = MakeAssignment(target, value);
  EvalStatementExpr(assign.node);
  g.heap_hi = saved_hi;
  ReleaseStrings(saved_strings);  // the code holds its own copy
}

// Reads '= initializer' for a static variable (the '=' is current).
void StaticInitializer(uint32_t address, int32_t type, int decl_scope) {
  int saved_hi = g.heap_hi;
  g.scope = kScopeInitializer;
  NextToken();
  InitStatic(address, type);
  g.heap_hi = saved_hi;
  g.scope = decl_scope;
}

uint32_t PlaceStatic(int32_t size) { return TakeStaticData(static_cast<uint32_t>(size)); }

uint32_t PlaceExternal(int32_t size) {
  uint64_t end = uint64_t{g.external_size} + static_cast<uint64_t>(size);
  // Variables that do not fit the external data area are refused.
  if (end > ExternalAreaSize()) RaiseError(kErrDeclaration);
  uint32_t address = ExternalAreaAddress() + g.external_size;
  g.external_size = static_cast<uint32_t>(end);
  return address;
}

// ---- Declarations ------------------------------------------------------------------------

void DeclareFunction(int sym, int32_t result) {
  Symbol& s = Sym(sym);
  if (s.kind == kSymUndeclared) {
    s.kind = kSymFunction;
    s.type = result;
    s.value = static_cast<uint32_t>(NewLabel());
  } else if (s.kind == kSymFunction) {
    if (!SameType(s.type, result)) RaiseError(kErrType);
  } else {
    RaiseError(kErrDeclaration);
  }
}

void ParseParameterDeclarations() {
  while (g.tok.code != kTokLBrace) {
    int saved = g.scope;
    g.scope = kScopeParams;
    if (!StartsType()) RaiseError(kErrDeclaration);
    bool found;
    int32_t base = ParseTypeSpecifier(&found);
    for (;;) {
      Declarator d;
      ParseDeclaratorOps(d, false);
      if (d.sym < 0) RaiseError(kErrDeclaration);
      int32_t type = ApplyOps(base, d);
      if (Sym(d.sym).kind != kSymLocal || d.sym < kGlobalSymbols) RaiseError(kErrDeclaration);
      if (!IsScalar(type)) RaiseError(kErrType);
      Sym(d.sym).type = type;
      if (g.tok.code == kTokComma) {
        NextToken();
        continue;
      }
      if (g.tok.code != kTokSemicolon) RaiseError(kErrDeclaration);
      g.scope = saved;
      NextToken();
      break;
    }
  }
}

void ParseDeclaration(DeclContext ctx) {
  int outer_scope = g.scope;
  int storage = 0;
  if (g.tok.code == kKwStatic || g.tok.code == kKwExtern || g.tok.code == kKwTypedef) {
    if (ctx == kCtxMember) RaiseError(kErrDeclaration);
    storage = g.tok.code;
  }
  // The scope the declarators are read in.
  int decl_scope = outer_scope;
  if (ctx == kCtxGlobal) decl_scope = storage == kKwTypedef ? kScopeGlobalTypedef : kScopeGlobalDecl;
  if (ctx == kCtxLocal)
    decl_scope = storage == kKwTypedef ? kScopeLocalTypedef : storage == kKwStatic ? kScopeStaticLocal : kScopeLocalDecl;
  g.scope = decl_scope;
  if (storage) NextToken();
  bool found = false;
  int32_t base = ParseTypeSpecifier(&found);
  if (!found && ctx != kCtxGlobal && ctx != kCtxMember) RaiseError(kErrDeclaration);
  if (!found && ctx == kCtxMember && !IsGlobalScope(outer_scope)) RaiseError(kErrDeclaration);
  // A structure definition alone: `struct s { ... };`
  if (g.tok.code == kTokSemicolon && found && IsStructType(base)) {
    g.scope = ctx == kCtxGlobal ? kScopeTop : outer_scope;
    if (ctx == kCtxGlobal) g.at_top_level = true;
    NextToken();
    return;
  }
  for (;;) {
    Declarator d;
    ParseDeclaratorOps(d, false);
    if (d.sym < 0) RaiseError(kErrDeclaration);
    int32_t type = ApplyOps(base, d);
    Symbol& s = Sym(d.sym);
    bool pending_stub = g.trap_pending >= 0;
    if (IsFunctionType(type) && storage != kKwTypedef) {
      if (ctx != kCtxGlobal) RaiseError(kErrDeclaration);
      int32_t result = TargetType(type);
      if (pending_stub) {
        int number = g.trap_pending;
        g.trap_pending = -1;
        DeclareFunction(d.sym, result);
        EmitBuiltinStub(static_cast<int>(s.value), number);
      } else if (d.named_params || g.tok.code == kTokLBrace) {
        DeclareFunction(d.sym, result);
        if (g.labels[s.value].state == 0xDF) RaiseError(kErrDeclaration);  // defined twice
        if (g.tok.code != kTokLBrace) ParseParameterDeclarations();
        CompileFunctionBody(d.sym, storage == kKwExtern);
        return;
      } else {
        DeclareFunction(d.sym, result);
      }
    } else {
      if (pending_stub) RaiseError(kErrDeclaration);
      if (storage == kKwTypedef) {
        if (s.kind != kSymUndeclared) RaiseError(kErrDeclaration);
        s.kind = kSymTypedef;
        s.type = type;
      } else if (ctx == kCtxMember) {
        int32_t size = TypeSize(type);
        int32_t offset = in_union ? 0 : member_offset;
        if (s.kind == kSymMember) {
          if (static_cast<int32_t>(s.value) != offset) RaiseError(kErrDeclaration);
        } else if (s.kind != kSymUndeclared) {
          RaiseError(kErrDeclaration);
        }
        s.kind = kSymMember;
        s.type = type;
        s.value = static_cast<uint32_t>(offset);
        if (in_union) {
          member_offset = std::max(member_offset, size);
        } else {
          int64_t next = int64_t{member_offset} + size;
          if (next > 0x7FFFFFFF) RaiseError(kErrDeclaration);
          member_offset = static_cast<int32_t>(next);
        }
      } else {
        if (s.kind != kSymUndeclared) RaiseError(kErrDeclaration);
        int32_t size = TypeSize(type);
        if (storage == kKwExtern) {
          uint32_t address = PlaceExternal(size);
          s.kind = kSymVariable;
          s.type = type;
          s.value = address;
          if (g.tok.code == kTokAssign) StaticInitializer(address, type, decl_scope);
        } else if (ctx == kCtxGlobal || storage == kKwStatic) {
          uint32_t address = PlaceStatic(size);
          if (ctx == kCtxLocal) {
            // A static local lives under its name and a point, still found by its name.
            char name[4200];
            std::string_view n = SymbolName(d.sym);
            int len = std::snprintf(name, sizeof name, "%.*s.%d", static_cast<int>(n.size()), n.data(), ++g.static_counter);
            s.name = StoreName(std::string_view(name, static_cast<size_t>(len)));
          }
          s.kind = kSymVariable;
          s.type = type;
          s.value = address;
          if (g.tok.code == kTokAssign) StaticInitializer(address, type, decl_scope);
        } else {
          int64_t local = int64_t{g.local_size} - size;
          if (local < -0x10000000) RaiseError(kErrDeclaration);
          g.local_size = static_cast<int32_t>(local);
          int32_t offset = g.local_size - 20;
          s.kind = kSymLocal;
          s.type = type;
          s.value = static_cast<uint32_t>(offset);
          if (g.tok.code == kTokAssign) {
            g.scope = kScopeInitializer;
            NextToken();
            InitLocal(offset, type);
            g.scope = decl_scope;
          }
        }
      }
    }
    if (g.tok.code == kTokComma) {
      g.scope = decl_scope;
      NextToken();
      continue;
    }
    if (g.tok.code != kTokSemicolon) RaiseError(kErrDeclaration);
    if (ctx == kCtxGlobal) {
      g.scope = kScopeTop;
      g.at_top_level = true;
    } else if (ctx == kCtxLocal) {
      g.scope = kScopeStatement;
    } else {
      g.scope = outer_scope;
    }
    NextToken();
    return;
  }
}

}  // namespace

// ---- Types ---------------------------------------------------------------------------------

int AllocCells(int count) {
  if (IsGlobalScope(g.scope)) {
    int at = g.heap_lo;
    if (g.heap_lo + count > g.heap_hi) RaiseError(kErrHeap);
    g.heap_lo += count;
    return at;
  }
  if (g.heap_hi - count < g.heap_lo) RaiseError(kErrHeap);
  g.heap_hi -= count;
  return g.heap_hi;
}

int32_t PointerTo(int32_t target) {
  int r = AllocCells(2);
  g.heap[r] = kRecPointer;
  g.heap[r + 1] = target;
  return r;
}

int32_t ArrayOf(int32_t element, int32_t count) {
  int r = AllocCells(3);
  g.heap[r] = kRecArray;
  g.heap[r + 1] = element;
  g.heap[r + 2] = count;
  return r;
}

int32_t FunctionReturning(int32_t result) {
  int r = AllocCells(2);
  g.heap[r] = kRecFunction;
  g.heap[r + 1] = result;
  return r;
}

int32_t TypeSize(int32_t t) {
  switch (t) {
    case kTypeInt: case kTypeUInt: case kTypeFloat: return 4;
    case kTypeShort: case kTypeUShort: return 2;
    case kTypeChar: case kTypeUChar: return 1;
    default: break;
  }
  if (t <= 0 || t >= kHeapCells) RaiseError(kErrDeclaration);
  switch (g.heap[t]) {
    case kRecPointer: return 4;
    case kRecArray: {
      int64_t size = int64_t{TypeSize(g.heap[t + 1])} * g.heap[t + 2];
      if (size > 0x7FFFFFFF) RaiseError(kErrDeclaration);
      return static_cast<int32_t>(size);
    }
    case kRecStruct: case kRecUnion:
      if (g.heap[t + 1] < 0) RaiseError(kErrDeclaration);
      return g.heap[t + 1];
    default: RaiseError(kErrDeclaration);
  }
}

bool SameType(int32_t a, int32_t b) {
  for (;;) {
    if (a == b) return true;
    if (a <= 0 || b <= 0) return false;
    if (g.heap[a] != g.heap[b]) return false;
    switch (g.heap[a]) {
      case kRecPointer: case kRecFunction:
        a = g.heap[a + 1];
        b = g.heap[b + 1];
        continue;
      case kRecArray:
        if (g.heap[a + 2] != g.heap[b + 2]) return false;
        a = g.heap[a + 1];
        b = g.heap[b + 1];
        continue;
      default:
        return false;  // distinct structures
    }
  }
}

bool StartsTypeName() { return StartsType(); }

int32_t ParseTypeName() {
  bool found;
  int32_t base = ParseTypeSpecifier(&found);
  Declarator d;
  ParseDeclaratorOps(d, true);
  return ApplyOps(base, d);
}

void DeclarationsStart() {
  param_nesting = 0;
  in_union = false;
  member_offset = 0;
}

void ParseTopLevelDeclaration() { ParseDeclaration(kCtxGlobal); }
void ParseLocalDeclaration() {
  ParseDeclaration(kCtxLocal);
  g.heap_keep = g.heap_hi;  // local types stay for the rest of the function
}

int ExportFunction(std::string_view name, int32_t result_type, uint32_t address) {
  int i = FindExported(name);
  if (i < 0) {
    if (name.size() > 31 || exported_count >= kMaxExportedFunctions) RaiseError(kErrDeclaration);
    i = exported_count++;
    std::memcpy(exported[i].name, name.data(), name.size());
    exported[i].name[name.size()] = 0;
  }
  // Result types other than the basic ones are node-heap indices that mean
  // nothing to another compilation: they travel as int.
  exported[i].result_type = IsBasic(result_type) ? result_type : kTypeInt;
  exported[i].address = address;
  return i;
}

bool ResolveAtEnd() {
  struct Missing {
    int label;
    int sym;
    bool is_label;
  };
  static Missing missing[kGlobalSymbols];
  int n = 0;
  for (int i = 0; i < kGlobalSymbols; ++i) {
    Symbol& s = Sym(i);
    if (s.kind == kSymFunction && g.labels[s.value].state != 0xDF) {
      int32_t type;
      uint32_t address;
      if (FindExportedFunction(SymbolName(i), &type, &address)) {
        PatchLabelReferences(static_cast<int>(s.value), address);
      } else {
        missing[n++] = Missing{static_cast<int>(s.value), i, false};
      }
    } else if (s.kind == kSymLabelUsed) {
      missing[n++] = Missing{static_cast<int>(s.value), i, true};
    }
  }
  std::sort(missing, missing + n, [](const Missing& a, const Missing& b) { return a.label < b.label; });
  for (int k = 0; k < n; ++k) {
    char buffer[600];
    std::string_view name = SymbolName(missing[k].sym);
    std::snprintf(buffer, sizeof buffer, "%.*s%s\n", static_cast<int>(std::min<size_t>(name.size(), 400)), name.data(),
                  missing[k].is_label
                      ? "\x20\x83\x89\x83\x78\x83\x8b\x82\xcd\x92\xe8\x8b\x60\x82\xb3\x82\xea\x82\xc4\x82\xa2\x82\xdc"
                        "\x82\xb9\x82\xf1\x81\x42"  // " ラベルは定義されていません。"
                      : "\x20\x8a\xd6\x90\x94\x82\xcd\x92\xe8\x8b\x60\x82\xb3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb9"
                        "\x82\xf1\x81\x42");  // " 関数は定義されていません。"
    AppendErrorText(buffer);
  }
  return n == 0;
}

}  // namespace kc

// ---- Public: exported function table ------------------------------------------------------

void ClearExportedFunctions() { kc::exported_count = 0; }
int ExportedFunctionCount() { return kc::exported_count; }

bool FindExportedFunction(std::string_view name, int32_t* result_type, uint32_t* address) {
  int i = kc::FindExported(name);
  if (i < 0) return false;
  if (result_type) *result_type = kc::exported[i].result_type;
  if (address) *address = kc::exported[i].address;
  return true;
}
