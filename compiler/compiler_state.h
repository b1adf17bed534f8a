// The compiler's shared state and the interfaces between its three areas:
// the front end (lexer.cpp: sources, lines, directives, macros, tokens,
// symbols, errors), declarations (declarations.cpp: types, declarators,
// placement, initializers, functions) and code generation (codegen.cpp:
// expression trees, registers, statements, labels, the compile entry).
// Internal to the compiler.
#pragma once
#include <array>
#include <cstdint>
#include <string_view>

namespace kc {

// ---- Compile errors --------------------------------------------------------

enum CompileErrorNumber : int {
  kErrInternal = 0, kErrMemory = 1, kErrOpen = 2, kErrRead = 3, kErrDirective = 4,
  kErrIncludeName = 5, kErrIncludeNest = 6, kErrMacroNest = 7, kErrDeclaration = 8,
  kErrExpression = 9, kErrDivideByZero = 10, kErrNotConstant = 11, kErrSyntax = 12,
  kErrNotLvalue = 13, kErrType = 14, kErrUndefined = 15, kErrStringLine = 16,
  kErrQuote = 17, kErrGlobalSymbols = 18, kErrLocalSymbols = 19, kErrSymbolBuffer = 20,
  kErrLineLength = 21, kErrHeap = 22, kErrProgramArea = 23, kErrEof = 24,
};

// Thrown by RaiseError; caught by the compile entry.
struct CompileAbort {
  int number;
};
// Thrown when the input ends where a compilation may end (top level).
struct CompileEnd {};

[[noreturn]] void RaiseError(int number);
void AppendErrorText(std::string_view text);  // bounded, keeps the text within its buffer

// ---- Tokens ------------------------------------------------------------------

enum Token : int {
  kTokEof = 0,
  kTokNumber = 13, kTokNot = 23, kTokTilde = 24, kTokInc = 25, kTokDec = 26,
  kTokStar = 37, kTokSlash = 39, kTokPercent = 41, kTokPlus = 43, kTokMinus = 44,
  kTokShr = 45, kTokShl = 47, kTokGt = 49, kTokGe = 52, kTokLt = 55, kTokLe = 58,
  kTokEq = 61, kTokNe = 62, kTokAmp = 63, kTokBar = 64, kTokCaret = 65,
  kTokAndAnd = 66, kTokOrOr = 67, kTokQuestion = 68, kTokAssign = 69, kTokComma = 79,
  kTokLParen = 80, kTokRParen = 81, kTokLBracket = 82, kTokRBracket = 83,
  kTokLBrace = 84, kTokRBrace = 85, kTokColon = 86, kTokSemicolon = 87, kTokDot = 88,
  kTokArrow = 89,
  kTokMulAssign = 137, kTokDivAssign = 139, kTokModAssign = 141, kTokAddAssign = 143,
  kTokSubAssign = 144, kTokShrAssign = 145, kTokShlAssign = 147, kTokAndAssign = 163,
  kTokOrAssign = 164, kTokXorAssign = 165,
  kTokName = -30, kTokString = -31,
  // keywords
  kKwInt = -37, kKwChar = -3, kKwStruct = -10, kKwUnion = -11, kKwSigned = -38,
  kKwUnsigned = -39, kKwStatic = -14, kKwGoto = -15, kKwReturn = -16, kKwBreak = -17,
  kKwContinue = -18, kKwIf = -19, kKwElse = -20, kKwFor = -21, kKwDo = -22,
  kKwWhile = -23, kKwSwitch = -24, kKwCase = -25, kKwDefault = -26, kKwTypedef = -35,
  kKwSizeof = -36, kKwLong = -1, kKwShort = -2, kKwFloat = -7, kKwExtern = -41,
};

struct TokenState {
  int code = 0;
  int sym = 0;          // current symbol for names (global or local entry)
  int global_sym = 0;   // the global entry of the name
  int local_sym = -1;   // the local entry, when one was looked up
  uint32_t value = 0;   // number or character constant
  bool is_float = false;
  uint32_t text = 0;    // string literal: offset in the name buffer
  uint32_t length = 0;  // string literal: bytes including the terminating zero
};

// ---- Symbols -----------------------------------------------------------------

enum SymbolKind : int32_t {
  kSymEmpty = 0, kSymVariable = 1, kSymLocal = 7, kSymFunction = -12, kSymUndeclared = -13,
  kSymKeyword = -27, kSymTag = -28, kSymMember = -29, kSymMacro = -32, kSymLabel = -33,
  kSymLabelUsed = -34, kSymTypedef = -40,
};

struct Symbol {
  uint32_t name;  // offset of the zero-terminated name in the name buffer
  int32_t kind;
  int32_t type;
  uint32_t value;
};

constexpr int kGlobalSymbols = 7168;
constexpr int kLocalSymbols = 1024;
constexpr int kSymbolCount = kGlobalSymbols + kLocalSymbols;
constexpr uint32_t kNameBufferSize = 256 * 1024;
constexpr uint32_t kMacroArgSize = 16 * 1024;
// String literal texts live in an area of their own, given back after every
// statement and top-level declaration (they are copied into the static data
// when their code is made), so a script's text is not bounded by the name
// buffer.
constexpr uint32_t kStringAreaSize = 256 * 1024;

// ---- Scopes ------------------------------------------------------------------

enum Scope : int {
  kScopeTop, kScopeGlobalDecl, kScopeGlobalStruct, kScopeGlobalUnion, kScopeGlobalTypedef,
  kScopeParams, kScopeLocalDecl, kScopeLocalStruct, kScopeLocalUnion, kScopeStaticLocal,
  kScopeLocalTypedef, kScopeStatement, kScopeInitializer,
};
inline bool IsGlobalScope(int s) { return s <= kScopeGlobalTypedef; }
inline bool IsDeclarationScope(int s) { return s >= kScopeParams && s <= kScopeLocalTypedef; }

// ---- Types -------------------------------------------------------------------

enum TypeCode : int32_t {
  kTypeInt = -1, kTypeShort = -2, kTypeChar = -3, kTypeUInt = -4, kTypeUShort = -5,
  kTypeUChar = -6, kTypeFloat = -7,
  // type record kinds in the node heap
  kRecPointer = -8, kRecArray = -9, kRecStruct = -10, kRecUnion = -11, kRecFunction = -12,
};

constexpr int kHeapCells = 8192;

// ---- The process-wide compiler state -------------------------------------------

struct SourceFile {
  char path[260];
  uint8_t* text;      // whole file plus one '\n'
  uint32_t position;  // next byte
  uint32_t length;    // file size + 1
  int line;
};

struct MacroFrame {
  const uint8_t* text;     // text being resumed
  uint32_t position;
  int saved_char;
  uint32_t arg_top;        // macro argument area top to restore
  bool splice;             // a ## splice: no token break when it ends
  int macro;               // symbol whose parameters were bound (0: none)
  int param_count;
  uint32_t saved_params;   // index into the saved parameter values
};

constexpr int kMaxSourceFiles = 16;
constexpr int kMaxMacroFrames = 16;
constexpr int kLineBufferSize = 4096;
constexpr int kMaxLabels = 65536;  // label numbers never reach the code, only its size
constexpr int kMaxMacroParams = 64;
constexpr int kSaveStackSize = 8192;

struct Label {
  uint8_t state;   // 0xDE undefined, 0xDF defined
  uint32_t word;   // address once defined, else chain head
};

struct CompilerState {
  // workspace
  uint8_t* names = nullptr;     // name buffer (also macro bodies, string texts)
  uint32_t names_top = 0;
  uint8_t* macro_args = nullptr;
  uint32_t macro_args_top = 0;
  Symbol* symbols = nullptr;    // kSymbolCount entries
  uint8_t* strings = nullptr;   // string literal texts
  uint32_t strings_top = 0;

  // sources
  std::array<SourceFile, kMaxSourceFiles> files{};
  int file_depth = 0;
  char included[4096];
  uint32_t included_length = 0;

  // lines and characters
  uint8_t line[kLineBufferSize];
  uint32_t line_length = 0;     // bytes in line including the '\n'
  const uint8_t* text = nullptr;  // line buffer or a macro text
  uint32_t position = 0;
  int ch = 0;                   // current character
  bool directives_enabled = true;
  bool in_asm = false;
  bool in_comment = false;
  bool line_only = false;       // while a directive reads its own line
  bool defining = false;        // a define reads its name: no expansion
  bool input_ended = false;
  std::array<MacroFrame, kMaxMacroFrames> frames{};
  int frame_depth = 0;
  std::array<uint32_t, kMaxMacroFrames * kMaxMacroParams> saved_param_values{};
  uint32_t saved_params_top = 0;

  // tokens
  TokenState tok;
  TokenState pushed;
  bool has_pushed = false;
  bool joining_strings = false;
  int member_scope = 0;         // tag number while members are looked up
  int scope = kScopeTop;
  bool at_top_level = false;    // the end of input here ends the compilation

  // trap
  int trap_counter = 0;
  int trap_pending = -1;

  // node heap
  std::array<int32_t, kHeapCells + 4> heap{};
  int heap_lo = 1;              // next free cell from the bottom (global runs)
  int heap_hi = kHeapCells;     // lowest cell taken from the top
  int heap_keep = kHeapCells;   // cells at or above stay for the function (local types)

  // storage
  uint32_t data_size = 0;
  uint32_t external_size = 0;
  int32_t local_size = 0;
  int tag_counter = 0;
  int static_counter = 0;

  // code buffer
  uint8_t* image = nullptr;     // host address of the program area, or nullptr
  uint32_t base = 0;            // VM address of the program area
  uint32_t capacity = 0;
  uint32_t code_length = 0;

  // labels
  std::array<Label, kMaxLabels> labels{};
  int next_label = 1;
  bool reachable = true;

  // statement context
  int break_label = 0;
  int continue_label = 0;
  int switch_reg = -1;
  int case_test_label = 0;
  int default_label = 0;
  bool in_switch = false;
  int return_label = 0;
  int body_depth = 0;           // brace depth inside the current function

  int depth = 0;                // parser recursion guard

  // error text
  char error_text[8192];
  uint32_t error_length = 0;
  bool keep_errors = true;
  int error_number = -1;
  int error_line = 0;
};

extern CompilerState g;

// ---- Front end (lexer.cpp) -----------------------------------------------------

void FrontEndStart();                 // workspace, classes, keywords
void FrontEndStop();                  // releases files and workspace
void OpenMainSource(const char* name);
int NextToken();
void PushBackToken(const TokenState& previous);  // makes `previous` current again; the present token comes next
void Expect(int code);
int GlobalSymbol(std::string_view name);  // find or insert
int FindGlobalSymbol(std::string_view name);  // -1 when absent
int LocalSymbol(int global_index);        // find or insert the local entry of a global's name
void ClearLocalSymbols();
uint32_t StoreName(std::string_view name);  // copies into the name buffer
std::string_view SymbolName(int index);
inline Symbol& Sym(int index) { return g.symbols[index]; }
void EnterKeyword(const char* name, int code);
void ReleaseStrings(uint32_t mark);  // gives back string texts above mark (keeping the current token's)

// ---- Declarations (declarations.cpp) -------------------------------------------

int32_t TypeSize(int32_t type);             // error 8 for incomplete or function types
inline int32_t Cell(int index, int offset) { return g.heap[index + offset]; }
int AllocCells(int count);                  // from the end the scope selects
int32_t PointerTo(int32_t target);
int32_t ArrayOf(int32_t element, int32_t count);
int32_t FunctionReturning(int32_t result);
inline bool IsBasic(int32_t t) { return t <= -1 && t >= -7; }
inline bool IsFloatType(int32_t t) { return t == kTypeFloat; }
inline bool IsIntegerType(int32_t t) { return t <= -1 && t >= -6; }
inline bool IsUnsignedType(int32_t t) { return t <= -4 && t >= -6; }
inline int32_t RecordKind(int32_t t) { return t > 0 ? g.heap[t] : t; }
inline bool IsPointer(int32_t t) { return t > 0 && g.heap[t] == kRecPointer; }
inline bool IsArray(int32_t t) { return t > 0 && g.heap[t] == kRecArray; }
inline bool IsFunctionType(int32_t t) { return t > 0 && g.heap[t] == kRecFunction; }
inline bool IsStructType(int32_t t) { return t > 0 && (g.heap[t] == kRecStruct || g.heap[t] == kRecUnion); }
inline bool IsScalar(int32_t t) { return IsBasic(t) || IsPointer(t); }
inline int32_t TargetType(int32_t t) { return g.heap[t + 1]; }  // pointer target, array element, function result
bool SameType(int32_t a, int32_t b);
bool StartsTypeName();                       // current token starts a type name
int32_t ParseTypeName();                     // for casts and sizeof
void DeclarationsStart();                     // resets the declaration parser
void ParseTopLevelDeclaration();
void ParseLocalDeclaration();                // at a statement that starts a declaration
bool ResolveAtEnd();                         // reports undefined functions and labels; false if any
int ExportFunction(std::string_view name, int32_t result_type, uint32_t address);

// ---- Code generation (codegen.cpp) ---------------------------------------------

struct Expr {
  int node;
  int32_t type;
  bool lvalue;
};

void Emit8(uint8_t v);
void Emit32(uint32_t v);
void EmitLabelRef(int label);
int NewLabel();
void DefineLabel(int label);
void ReferenceLabelAt(int label, uint32_t offset);  // a 32-bit word at that image offset refers to the label
void PatchLabelReferences(int label, uint32_t address);
uint32_t TakeStaticData(uint32_t bytes);             // returns the VM address
uint8_t* HostAt(uint32_t vm_address);               // nullptr in the measuring pass
void ResetRegisters();
Expr ParseAssignmentExpr();
Expr ParseConditionalExpr();
Expr LoadValue(Expr e);
Expr ConvertTo(Expr value, int32_t target);         // integer <-> float to match the target's kind
Expr MakeAssignment(Expr target, Expr value);
void EvalStatementExpr(int node);
bool IsConstant(const Expr& e);
uint32_t ConstantValue(const Expr& e);
void CompileFunctionBody(int function_symbol, bool exported);
void EmitBuiltinStub(int label, int number);
Expr MakeConst(uint32_t value, bool is_float);
Expr VariableLvalue(int32_t kind, uint32_t value, int32_t type);  // kind 1 (address) or 7 (frame offset)
uint32_t ConstantOf(Expr value, int32_t target);  // a constant converted to the target's kind
bool IsFunctionNode(const Expr& e);
int FunctionNodeSymbol(const Expr& e);
bool IsStringNode(const Expr& e, uint32_t* text, uint32_t* length);
bool IsGlobalAddressNode(const Expr& e, uint32_t* address);

}  // namespace kc
