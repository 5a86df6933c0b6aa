function build(varargin)
% BUILD  Compile every module of the toolbox, in GNU Octave or in MATLAB.
%
%   build            optimised modules, with their help files, into build/
%   build asan       the same with AddressSanitizer and UBSan, into build-asan/
%   build ... tests  also the test-only helpers, into <output>/testhelpers/
%   build('-helpers', DIR)   only the test-only helpers, into DIR (for a
%                    suite run against an installed package)
%
% A module is a folder NAME holding NAME.cpp (its whole source) and NAME.m
% (its help text). Sources include host/mexhost.hpp. A module is rebuilt
% when its sources or the host header are newer than its binary.

  root = fileparts(mfilename('fullpath'));
  asan = any(strcmp(varargin, 'asan'));
  with_tests = any(strcmp(varargin, 'tests'));
  on_octave = exist('OCTAVE_VERSION', 'builtin') ~= 0;
  helpers_only = numel(varargin) == 2 && strcmp(varargin{1}, '-helpers');

  if asan
    outdir = fullfile(root, 'build-asan');
  else
    outdir = fullfile(root, 'build');
  end
  if ~helpers_only && ~exist(outdir, 'dir')
    mkdir(outdir);
  end

  % Strict IEEE double evaluation everywhere: the kernels promise bit-exact
  % sums, so no contraction into fused multiply-adds and no fast-math.
  flags = '-std=c++17 -O2 -Wall -Wextra -ffp-contract=off -fno-fast-math';
  ldflags = '';
  if asan
    sanitize = '-fsanitize=address,undefined -fno-sanitize-recover=all';
    flags = ['-std=c++17 -O1 -g -Wall -Wextra -ffp-contract=off -fno-omit-frame-pointer ' ...
             sanitize];
    ldflags = sanitize;
  end

  hostdir = fullfile(root, 'host');
  if helpers_only
    build_helpers(root, varargin{2}, hostdir, flags, ldflags, on_octave);
    return;
  end
  for name = module_names(root)
    name = name{1};
    src = fullfile(root, name, [name '.cpp']);
    out = fullfile(outdir, [name '.' mex_extension(on_octave)]);
    deps = [dir(fullfile(root, name, '*.cpp')); dir(fullfile(hostdir, '*.hpp'))];
    if needs_build(out, deps)
      compile(src, out, hostdir, flags, ldflags, extra_libs(name, on_octave), on_octave);
    end
    copyfile(fullfile(root, name, [name '.m']), outdir);
  end
  copyfile(fullfile(root, 'pairwood_version.m'), outdir);

  if with_tests
    build_helpers(root, fullfile(outdir, 'testhelpers'), hostdir, flags, ldflags, on_octave);
  end
end

function build_helpers(root, helperdir, hostdir, flags, ldflags, on_octave)
  if ~exist(helperdir, 'dir')
    mkdir(helperdir);
  end
  helpers = dir(fullfile(root, 'tests', 'helpers', '*.cpp'));
  % A helper may include a module's source (to build it another way), so
  % every module source counts among its dependencies.
  sources = dir(fullfile(hostdir, '*.hpp'));
  for name = module_names(root)
    sources = [sources; dir(fullfile(root, name{1}, '*.cpp'))]; %#ok<AGROW>
  end
  for k = 1:numel(helpers)
    src = fullfile(root, 'tests', 'helpers', helpers(k).name);
    [~, name] = fileparts(src);
    out = fullfile(helperdir, [name '.' mex_extension(on_octave)]);
    if needs_build(out, [helpers(k); sources])
      compile(src, out, hostdir, flags, ldflags, '', on_octave);
    end
  end
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
  libs = '';
  if strcmp(name, 'lowsweep')
    if on_octave
      libs = strtrim(mkoctfile('-p', 'BLAS_LIBS'));
    else
      % MATLAB's BLAS takes 64-bit integers in 64-bit releases, and its
      % symbols carry a trailing underscore except on Windows.
      libs = '-lmwblas -DBLAS_INT64';
      if ~ispc
        libs = [libs ' -DBLAS_TRAILING_UNDERSCORE'];
      end
    end
  end
end

function compile(src, out, hostdir, flags, ldflags, libs, on_octave)
  fprintf('building %s\n', out);
  if on_octave
    setenv('CXXFLAGS', flags);
    setenv('LDFLAGS', ldflags);
    args = {'--mex', ['-I' hostdir], '-o', out, src};
    if ~isempty(libs)
      args = [args, strsplit(libs, ' ')];
    end
    [output, status] = mkoctfile(args{:});
    if status ~= 0
      error('build: compiling %s failed:\n%s', src, output);
    end
    fprintf('%s', output);  % warnings, if any
  else
    [outdir, name] = fileparts(out);
    args = {['-I' hostdir], '-outdir', outdir, '-output', name, ...
            ['CXXFLAGS=$CXXFLAGS ' flags], ['LDFLAGS=$LDFLAGS ' ldflags], src};
    if ~isempty(libs)
      args = [args, strsplit(libs, ' ')];
    end
    mex(args{:});
  end
end
