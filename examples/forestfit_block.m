function file = forestfit_block(file, varargin)
% FORESTFIT_BLOCK  Fit a block of trees and save it to a file: what
%   FORESTFIT_WORKERS runs on a local worker process.
%
%   file = forestfit_block(file, Theta, X, runs, y, levels, opts)
%
%   Saves forestfit(Theta, X, runs, y, levels, opts) as the variable
%   `forest` (and with opts.info = true, also forestfit's second output as
%   `info`; that field is removed before the fit) in FILE, in Octave's
%   binary format (MATLAB: its own), and returns FILE. A worker process on
%   the same machine hands the block back this way: through the file system
%   a forest moves at the speed of a copy, where the parallel package's own
%   channel to the client moves it many times slower.
%
%   See also FORESTFIT_WORKERS, FORESTFIT.

  opts = varargin{end};
  with_info = isfield(opts, 'info') && opts.info;
  if isfield(opts, 'info')
    varargin{end} = rmfield(opts, 'info');
  end
  if with_info
    [forest, info] = forestfit(varargin{:});
    save_binary(file, forest, info);
  else
    forest = forestfit(varargin{:});
    save_binary(file, forest);
  end
end

function save_binary(file, forest, info)
  if nargin > 2
    names = {'forest', 'info'};
  else
    names = {'forest'};
  end
  if exist('OCTAVE_VERSION', 'builtin') ~= 0
    save('-binary', file, names{:});
  else
    save(file, names{:}, '-v7.3');
  end
end
