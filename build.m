function build(varargin)
% BUILD  Compile every module of the toolbox, in GNU Octave or in MATLAB.
%
%   build            optimised modules, with their help files and the
%                    overview (help pairwood), into build/
%   build asan       the same with AddressSanitizer and UBSan, into build-asan/
%   build portable   standard C++ only (PORTABLE_BUILD, the configuration an
%                    MSVC build takes), into build-portable/
%   build clang      compiled with clang++ (Octave only), into build-clang/
%   build ... tests  also the test-only helpers, into <output>/testhelpers/
%   build flags      print the default build's compiler flags and build
%                    nothing (the Windows and package builds take them here)
%   build flags matlab   likewise, those of a GCC or Clang build in MATLAB
%   build('-helpers', DIR)   only the test-only helpers, into DIR (for a
%                    suite run against an installed package)
%
% A module is a folder NAME holding NAME.cpp (its whole source) and NAME.m
% (its help text), and may keep headers of its own beside them. Sources
% include the shared headers of core/ (host-free) and host/ (what calls the
% host). A module is rebuilt when its sources, its headers or the shared
% headers are newer than its binary.

  root = fileparts(mfilename('fullpath'));
  with_tests = any(strcmp(varargin, 'tests'));
  helpers_only = numel(varargin) == 2 && strcmp(varargin{1}, '-helpers');
  on_octave = exist('OCTAVE_VERSION', 'builtin') ~= 0;
  variants = {'asan', 'portable', 'clang'};
  chosen = variants(ismember(variants, varargin));
  if numel(chosen) > 1
    error('build: choose one of asan, portable and clang');
  end
  variant = '';
  if ~isempty(chosen)
    variant = chosen{1};
  end

  % Strict IEEE double evaluation everywhere: the kernels promise bit-exact
  % sums, so no contraction into fused multiply-adds and no fast-math.
  strict = '-std=c++17 -O2 -ffp-contract=off -fno-fast-math';
  flags = [strict ' -Wall -Wextra'];
  % GCC and Clang builds for MATLAB import no sized operator delete (which
  % std::stable_sort brings in): the libstdc++ of releases before R2018a
  % lacks it.
  matlab_gnu = [strict ' -fno-sized-deallocation'];
  if any(strcmp(varargin, 'flags'))
    if any(strcmp(varargin, 'matlab'))
      disp([matlab_gnu ' -Wall -Wextra']);
    else
      disp(flags);
    end
    return;
  end

  outdir = fullfile(root, 'build');
  ldflags = '';
  tool = struct();   % environment for mkoctfile beyond the flags
  if ~isempty(variant)
    outdir = fullfile(root, ['build-' variant]);
    if ~on_octave && ~strcmp(variant, 'portable')
      error('build: the %s variant is for Octave; in MATLAB pick the compiler with mex -setup', ...
            variant);
    end
  end
  switch variant
    case 'asan'
      sanitize = '-fsanitize=address,undefined -fno-sanitize-recover=all';
      flags = ['-std=c++17 -O1 -g -Wall -Wextra -ffp-contract=off -fno-omit-frame-pointer ' ...
               sanitize];
      ldflags = sanitize;
    case 'portable'
      flags = [flags ' -DPORTABLE_BUILD'];
    case 'clang'
      % The modules use no OpenMP; Octave's -fopenmp would make clang link
      % LLVM's runtime into a host that already runs GCC's.
      tool = struct('CXX', 'clang++', 'CXXLD', 'clang++', 'XTRA_CXXFLAGS', '-pthread');
  end

  if on_octave
    tool.CXXFLAGS = flags;
    tool.LDFLAGS = ldflags;
    restore = set_environment(tool); %#ok<NASGU> restores it when build returns
    compile = @(src, out, libs) compile_octave(src, out, root, libs);
  else
    compile = matlab_compiler(root, matlab_gnu, strcmp(variant, 'portable'));
  end

  % Every module reads the shared headers of core/ (host-free) and host/.
  hostdir = {fullfile(root, 'core'), fullfile(root, 'host')};
  if helpers_only
    build_helpers(root, varargin{2}, hostdir, compile, on_octave);
    return;
  end
  if ~exist(outdir, 'dir')
    mkdir(outdir);
  end
  for name = module_names(root)
    name = name{1};
    src = fullfile(root, name, [name '.cpp']);
    out = fullfile(outdir, [name '.' mex_extension(on_octave)]);
    deps = [dir(fullfile(root, name, '*.cpp')); dir(fullfile(root, name, '*.hpp')); ...
            shared_headers(hostdir)];
    if needs_build(out, deps)
      compile(src, out, extra_libs(name, on_octave));
    end
    copyfile(fullfile(root, name, [name '.m']), outdir);
  end

  copyfile(fullfile(root, 'pairwood.m'), outdir);
  copyfile(fullfile(root, 'pairwood_version.m'), outdir);

  if with_tests
    build_helpers(root, fullfile(outdir, 'testhelpers'), hostdir, compile, on_octave);
  end
end

function build_helpers(root, helperdir, hostdir, compile, on_octave)
  if ~exist(helperdir, 'dir')
    mkdir(helperdir);
  end
  helpers = dir(fullfile(root, 'tests', 'helpers', '*.cpp'));
  % A helper may include a module's source (to build it another way), so
  % every module source counts among its dependencies.
  sources = shared_headers(hostdir);
  for name = module_names(root)
    sources = [sources; dir(fullfile(root, name{1}, '*.cpp')); ...
               dir(fullfile(root, name{1}, '*.hpp'))]; %#ok<AGROW>
  end
  for k = 1:numel(helpers)
    src = fullfile(root, 'tests', 'helpers', helpers(k).name);
    [~, name] = fileparts(src);
    out = fullfile(helperdir, [name '.' mex_extension(on_octave)]);
    if needs_build(out, [helpers(k); sources])
      compile(src, out, '');
    end
  end
end

function files = shared_headers(dirs)
  files = [dir(fullfile(dirs{1}, '*.hpp')); dir(fullfile(dirs{2}, '*.hpp'))];
end

function names = module_names(root)
  % Every folder NAME at the top that holds NAME.cpp is a module.
  entries = dir(root);
  names = {};
  for k = 1:numel(entries)
    e = entries(k);
    if e.isdir && e.name(1) ~= '.' && exist(fullfile(root, e.name, [e.name '.cpp']), 'file')
      names{end + 1} = e.name; %#ok<AGROW>
    end
  end
end

function ext = mex_extension(on_octave)
  if on_octave
    ext = 'mex';
  else
    ext = mexext();
  end
end

function yes = needs_build(out, deps)
  info = dir(out);
  yes = isempty(info) || any([deps.datenum] > info.datenum);
end

function libs = extra_libs(name, on_octave)
  % Only the triangular solve links a library beyond the host's: the BLAS.
  % Octave's takes 32-bit integers and names its routines with a trailing
  % underscore; MATLAB's takes 64-bit integers in 64-bit releases, and its
  % names carry the underscore except on Windows.
  libs = '';
  if strcmp(name, 'lowsweep')
    if on_octave
      libs = [strtrim(mkoctfile('-p', 'BLAS_LIBS')) ' -DBLAS_TRAILING_UNDERSCORE'];
    else
      libs = '-lmwblas -DBLAS_INT64';
      if ~ispc
        libs = [libs ' -DBLAS_TRAILING_UNDERSCORE'];
      end
    end
  end
end

function restore = set_environment(values)
  % Sets the variables mkoctfile reads; the returned object puts back the
  % caller's values when it is cleared.
  names = fieldnames(values);
  saved = cellfun(@getenv, names, 'UniformOutput', false);
  for k = 1:numel(names)
    setenv(names{k}, values.(names{k}));
  end
  restore = onCleanup(@() restore_environment(names, saved));
end

function restore_environment(names, saved)
  for k = 1:numel(names)
    if ~isempty(saved{k})
      setenv(names{k}, saved{k});
    elseif exist('OCTAVE_VERSION', 'builtin')
      unsetenv(names{k});
    end
  end
end

function compile_octave(src, out, root, libs)
  fprintf('building %s\n', out);
  args = {'--mex', ['-I' fullfile(root, 'core')], ['-I' fullfile(root, 'host')], '-o', out, src};
  if ~isempty(libs)
    args = [args, strsplit(libs, ' ')];
  end
  [output, status] = mkoctfile(args{:});
  if status ~= 0
    error('build: compiling %s failed:\n%s', src, output);
  end
  fprintf('%s', output);  % warnings, if any
end

function compile = matlab_compiler(root, gnu, portable)
  % MATLAB's mex with the compiler chosen by mex -setup, pinned to the
  % R2017b interface (separate complex storage, 64-bit sizes); mex knows
  % -R2017b from R2018a on, and before it -largeArrayDims is that interface.
  % MSVC (2017 15.3 or later, for /std:c++17) reads its options from
  % COMPFLAGS, where /fp:strict carries the strict IEEE evaluation;
  % MinGW-w64, Clang and GCC read CXXFLAGS.
  cc = mex.getCompilerConfigurations('C++', 'Selected');
  if isempty(cc)
    error('build: no C++ compiler is set up for mex (run mex -setup C++)');
  end
  if verLessThan('matlab', '9.4')
    flags = {'-largeArrayDims'};
  else
    flags = {'-R2017b'};
  end
  if strcmp(cc.Manufacturer, 'Microsoft')
    flags{end + 1} = 'COMPFLAGS=$COMPFLAGS /std:c++17 /O2 /fp:strict';
  else
    flags{end + 1} = ['CXXFLAGS=$CXXFLAGS ' gnu];
  end
  if portable
    flags{end + 1} = '-DPORTABLE_BUILD';
  end
  compile = @(src, out, libs) compile_matlab(src, out, root, flags, libs);
end

function compile_matlab(src, out, root, flags, libs)
  [outdir, name] = fileparts(out);
  args = [{['-I' fullfile(root, 'core')], ['-I' fullfile(root, 'host')], '-outdir', outdir, ...
           '-output', name}, flags, {src}];
  if ~isempty(libs)
    args = [args, strsplit(libs, ' ')];
  end
  mex(args{:});
end
